"""export_csv of ysk16 events with pedestal correction, against writing the same table with pandas
(DataFrame.to_csv), or NumPy's savetxt where pandas is absent."""

import gzip
import os
import pickle
import struct
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402

try:
    import pandas as pd
except ImportError:
    pd = None

EVENTS, CHANNELS, WINDOWS, SAMPLES = 2000, 16, 8, 64


def ysk16_event(start, samples):
    """Every channel reads the whole ring from `start`, so all channels share the row axis."""
    words = []
    for ch in range(CHANNELS):
        words.append(ch << 8 | start)
        words += (~samples[ch] & 0xFFFF).tolist()
        words.append(0)
    return b"\0" + struct.pack(f"<{len(words)}H", *words) + b"\0\0"


def table_of(n, start, samples, pedestals):
    """The cells of event n as the export lays them out: rows x (2 + 3 * CHANNELS)."""
    rows = WINDOWS * SAMPLES
    labels = np.repeat((start + np.arange(WINDOWS)) % WINDOWS, SAMPLES)
    time_ = np.arange(rows)
    cols = {"acq_num": np.zeros(rows, np.int64), "evt_num": np.full(rows, n, np.int64)}
    s = np.tile(np.arange(SAMPLES), WINDOWS)
    for ch in range(CHANNELS):
        data = samples[ch].astype(np.float32) - pedestals[ch][labels, s]
        cols[f"windnum_ch{ch}"] = labels
        cols[f"data_ch{ch}"] = data
        cols[f"time_ch{ch}"] = time_
    return cols


def main():
    rng = np.random.default_rng(3)
    pedestals = rng.uniform(0, 100, (CHANNELS, WINDOWS, SAMPLES)).astype(np.float32)
    starts = rng.integers(0, WINDOWS, EVENTS)
    samples = [rng.integers(0, 1024, (CHANNELS, WINDOWS * SAMPLES)) for _ in range(EVENTS)]
    with tempfile.TemporaryDirectory() as tmp:
        root = make_acquisition(os.path.join(tmp, "acq"), chunks=[[ysk16_event(int(st), s) for st, s in
                                                                   zip(starts, samples)]],
                                model="ysk16", channels=CHANNELS, windows=WINDOWS, samples=SAMPLES)
        with open(os.path.join(root, "pedestals_calibration"), "wb") as f:
            f.write(gzip.compress(pickle.dumps({"data": pedestals.tolist()})))
        acq = vuzevuz.Acquisition(root)
        out = os.path.join(tmp, "out")
        os.mkdir(out)

        t = time.perf_counter()
        vuzevuz.export_csv(acq, range(EVENTS), out, True)
        t_export = time.perf_counter() - t
        names = sorted(os.listdir(out))
        size = sum(os.path.getsize(os.path.join(out, n)) for n in names)

        # The same table (the first file's events), checked against what the export wrote.
        parts = [table_of(n, int(starts[n]), samples[n], pedestals) for n in range(min(EVENTS, 1000))]
        with open(os.path.join(out, names[0])) as f:
            f.readline()
            first = f.readline().rstrip("\n").split(",")
        assert [np.float32(x) for x in first] == [np.float32(parts[0][k][0]) for k in parts[0]]
        if EVENTS > 1000:
            parts += [table_of(n - 1000, int(starts[n]), samples[n], pedestals) for n in range(1000, EVENTS)]
        cols = {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
        ref = os.path.join(tmp, "ref.csv")
        t = time.perf_counter()
        if pd is not None:
            pd.DataFrame(cols).to_csv(ref, index=False)
            how = "pandas to_csv"
        else:
            np.savetxt(ref, np.column_stack([cols[k].astype(np.float64) for k in cols]), fmt="%.9g", delimiter=",",
                       header=",".join(cols), comments="")
            how = "NumPy savetxt"
        t_ref = time.perf_counter() - t
        ref_size = os.path.getsize(ref)

        rows = EVENTS * WINDOWS * SAMPLES
        print(f"ysk16 {EVENTS} events {CHANNELS}x{WINDOWS}x{SAMPLES} with pedestal correction: "
              f"{rows} rows in {len(names)} files, {size / 1e6:.0f} MB")
        print(f"export_csv {t_export:.2f} s ({size / 1e6 / t_export:.0f} MB/s), "
              f"{how} {t_ref:.2f} s ({ref_size / 1e6 / t_ref:.0f} MB/s); export_csv is {t_ref / t_export:.1f}x faster")


if __name__ == "__main__":
    main()
