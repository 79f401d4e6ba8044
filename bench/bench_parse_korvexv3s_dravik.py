"""parsed_event of korvexv3s and dravik events, against the same job done with NumPy,
with ysk16 as the yardstick per sample value."""

import os
import struct
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402

EVENTS = 300


def rate(fn, items):
    t = time.perf_counter()
    n = 0
    for x in items:
        fn(x)
        n += 1
    return n / (time.perf_counter() - t)


def ring_time(labels, windows, samples):
    lab = np.asarray(labels, dtype=np.int64)
    if lab.size == 0:
        return []
    d = np.where(lab >= lab[0], lab - lab[0], lab + windows - lab[0])
    return ((d[:, None] * samples + np.arange(samples)) % 65536).ravel().tolist()


# ysk16: 16 channels, 64 windows of 64 samples (the yardstick).
Y_CH, Y_WIN, Y_S = 16, 64, 64


def ysk16_event(rng):
    words = []
    for ch in range(Y_CH):
        words.append(ch << 8 | int(rng.integers(Y_WIN)))
        words += rng.integers(0, 1 << 16, Y_WIN * Y_S).tolist()
        words.append(0)
    return b"\0" + struct.pack(f"<{len(words)}H", *words) + b"\0\0"


# korvexv3s: 4 channels, a ring of 256 windows, 64 samples, 64 windows per event.
K_CH, K_RING, K_S, K_WIN = 4, 256, 64, 64
K_BLOCK = K_S + 1


def korvexv3s_event(rng):
    words = [0, 0, 0]
    start = int(rng.integers(K_RING))
    for w in range(K_WIN):
        for c in range(K_CH):
            words.append(c << 8 | (start + w) % K_RING)
            words += rng.integers(0, 1 << 13, K_S).tolist()
    words.append(0)
    return struct.pack(f">{len(words)}H", *words)


def korvexv3s_numpy(raw):
    words = np.frombuffer(raw, dtype=">u2")[3:-1]
    n_win = len(words) // (K_CH * K_BLOCK)
    blocks = words[:n_win * K_CH * K_BLOCK].reshape(n_win * K_CH, K_BLOCK)
    heads = blocks[:, 0]
    channels = (heads & 0x3FF) >> 8
    labels_all = heads & 0xFF
    values = (blocks[:, 1:] & 0x1FFF).astype(np.float32)
    data, labels = [], []
    for c in range(K_CH):
        sel = channels == c
        data.append(values[sel].ravel().tolist())
        labels.append(labels_all[sel].tolist())
    time_ = [ring_time(lab, K_RING, K_S) for lab in labels]
    return {"data": data, "window_labels": labels, "time": time_, "timing": None, "ecc_errors": None}


# dravik: 16 channels (four groups per window), a ring of 64 windows, 32 samples, 64 windows per event.
D_CH, D_RING, D_S, D_WIN = 16, 64, 32, 64
D_SUB = 2 + D_S
D_GROUP = 7 + 1 + 4 * D_SUB + 1


def dravik_event(rng):
    words = []
    start = int(rng.integers(D_RING))
    for w in range(D_WIN):
        for g in range(D_CH // 4):
            words += [g] + [0] * 6
            for off in range(4):
                words += [(start + w) % D_RING, off] + rng.integers(0, 1 << 16, D_S).tolist()
            words += [0, 0]
    return struct.pack(f">{len(words)}H", *words)


def dravik_numpy(raw):
    words = np.frombuffer(raw, dtype=">u2")
    groups = words[:len(words) // D_GROUP * D_GROUP].reshape(-1, D_GROUP)
    bases = groups[:, 0].astype(np.int64) * 4
    subs = groups[:, 7:7 + 4 * D_SUB].reshape(-1, 4, D_SUB)
    channels = (bases[:, None] + subs[:, :, 1]).ravel()
    labels_all = subs[:, :, 0].ravel()
    values = subs[:, :, 2:].reshape(-1, D_S).astype(np.float32)
    data, labels = [], []
    for c in range(D_CH):
        sel = channels == c
        data.append(values[sel].ravel().tolist())
        labels.append(labels_all[sel].tolist())
    time_ = [ring_time(lab, D_RING, D_S) for lab in labels]
    return {"data": data, "window_labels": labels, "time": time_, "timing": None, "ecc_errors": None}


def run(tmp, name, model, make, numpy_parse, channels, windows, samples, values_per_event, rng):
    events = [make(rng) for _ in range(EVENTS)]
    root = make_acquisition(os.path.join(tmp, name), chunks=[events], model=model, channels=channels,
                            windows=windows, samples=samples)
    acq = vuzevuz.Acquisition(root)
    if numpy_parse:
        assert acq.parsed_event(3) == numpy_parse(events[3])
    mb = sum(map(len, events)) / 1e6
    r_parsed = rate(acq.parsed_event, range(EVENTS))
    line = (f"{name} ({len(events[0])} bytes, {values_per_event} values): parsed_event {r_parsed:.0f} ev/s, "
            f"{r_parsed * mb / EVENTS:.0f} MB/s, {r_parsed * values_per_event / 1e6:.1f} M values/s")
    if numpy_parse:
        raw = [acq.raw_event(i)["rawdata"] for i in range(EVENTS)]
        r_numpy = rate(numpy_parse, raw)
        line += f"; NumPy {r_numpy:.0f} ev/s, parsed_event/NumPy {r_parsed / r_numpy:.2f}x"
    print(line)
    return r_parsed * values_per_event


def main():
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        y = run(tmp, "ysk16", "ysk16", ysk16_event, None, Y_CH, Y_WIN, Y_S, Y_CH * Y_WIN * Y_S, rng)
        k = run(tmp, "korvexv3s", "korvexv3s", korvexv3s_event, korvexv3s_numpy, K_CH, K_RING, K_S,
                K_CH * K_WIN * K_S, rng)
        d = run(tmp, "dravik", "dravik", dravik_event, dravik_numpy, D_CH, D_RING, D_S, D_CH * D_WIN * D_S, rng)
        print(f"values/s against ysk16: korvexv3s {k / y:.2f}x, dravik {d / y:.2f}x")


if __name__ == "__main__":
    main()
