"""parsed_event and iteration of ysk16 events, against the same job done with NumPy."""

import os
import struct
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402

EVENTS, CHANNELS, WINDOWS, SAMPLES = 1000, 16, 64, 64


def ysk16_event(rng):
    words = []
    for ch in range(CHANNELS):
        words.append(ch << 8 | int(rng.integers(WINDOWS)))
        words += rng.integers(0, 1 << 16, WINDOWS * SAMPLES).tolist()
        words.append(0)
    return b"\0" + struct.pack(f"<{len(words)}H", *words) + b"\0\0"


def numpy_parse(raw):
    """The same dictionary through NumPy: frombuffer, reshape, invert, mask, tolist."""
    words = np.frombuffer(raw, dtype="<u2", offset=1, count=(len(raw) - 3) // 2)
    blocks = words.reshape(CHANNELS, WINDOWS * SAMPLES + 2)
    headers = blocks[:, 0]
    channels = (headers & 0xFF00) >> 8
    starts = headers & 0xFF
    values = ((~blocks[:, 1:-1]) & 0x3FF).astype(np.float32)
    data = [[] for _ in range(CHANNELS)]
    labels = [[] for _ in range(CHANNELS)]
    time_ = [[] for _ in range(CHANNELS)]
    ring = np.arange(WINDOWS)
    for b in range(CHANNELS):
        c = int(channels[b])
        data[c] += values[b].tolist()
        lab = (starts[b] + ring) % WINDOWS
        labels[c] += lab.tolist()
    for c in range(CHANNELS):
        lab = np.array(labels[c])
        d = np.where(lab >= lab[0], lab - lab[0], lab + WINDOWS - lab[0])
        time_[c] = ((d[:, None] * SAMPLES + np.arange(SAMPLES)) % 65536).ravel().tolist()
    return {"data": data, "window_labels": labels, "time": time_, "timing": None, "ecc_errors": None}


def rate(fn, items):
    """Items per second of fn over items; results are dropped as they come."""
    t = time.perf_counter()
    n = 0
    for x in items:
        fn(x)
        n += 1
    return n / (time.perf_counter() - t)


def main():
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        events = [ysk16_event(rng) for _ in range(EVENTS)]
        root = make_acquisition(os.path.join(tmp, "acq"), chunks=[events], model="ysk16", channels=CHANNELS,
                                windows=WINDOWS, samples=SAMPLES)
        acq = vuzevuz.Acquisition(root)
        assert acq.parsed_event(3) == numpy_parse(events[3])
        raw = [acq.raw_event(i)["rawdata"] for i in range(EVENTS)]
        mb = sum(map(len, events)) / 1e6
        r_parsed = rate(acq.parsed_event, range(EVENTS))
        r_iter = rate(lambda ev: None, acq)
        r_numpy = rate(numpy_parse, raw)
        print(f"ysk16 {CHANNELS}x{WINDOWS}x{SAMPLES}: parsed_event {r_parsed:.0f} ev/s "
              f"({r_parsed * mb / EVENTS:.0f} MB/s), iteration {r_iter:.0f} ev/s, "
              f"NumPy {r_numpy:.0f} ev/s; parsed_event/NumPy {r_parsed / r_numpy:.2f}x")


if __name__ == "__main__":
    main()
