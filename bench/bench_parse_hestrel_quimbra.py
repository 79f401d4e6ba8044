"""Throughput of parsed_event for one realistic hestrel and quimbra event, next to ysk16.

Prints events/s, MB/s of raw bytes and ns per sample value through `Acquisition.parsed_event`,
and the same job done with plain NumPy (decode, mask, group per channel, labels and time axis,
to Python lists). Each event holds 32768 sample values.

    PYTHONPATH=build python bench/bench_parse_hestrel_quimbra.py [seconds per case]
"""

import os
import random
import struct
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402

COPIES = 64
rng = random.Random(1)


def ysk16_event(channels, windows, samples):
    words = []
    for c in range(channels):
        words.append(c << 8 | rng.randrange(windows))
        words += [rng.randrange(0x10000) for _ in range(windows * samples)]
        words.append(0)
    return b"\x00" + struct.pack(f"<{len(words)}H", *words) + b"\x00\x00"


def ysk16_numpy(raw, channels, windows, samples):
    k = windows * samples + 2
    w = np.frombuffer(raw, dtype="<u2", offset=1, count=channels * k).reshape(channels, k)
    data, labels, times = [[] for _ in range(channels)], [[] for _ in range(channels)], [[] for _ in range(channels)]
    for block in w:
        c = (block[0] & 0xFF00) >> 8
        data[c] += ((~block[1:-1]) & 0x3FF).astype(np.float32).tolist()
        labels[c] += (((block[0] & 0xFF) + np.arange(windows)) % windows).tolist()
        times[c] += np.arange(windows * samples, dtype=np.uint16).tolist()
    return data, labels, times


def hestrel_event(channels, packets_per_channel, samples):
    words = []
    for k in range(packets_per_channel):
        for c in range(channels):
            t = 1000 + k
            words += [c, t >> 12 & 0xFFF, t & 0xFFF, k & 0x3F]
            words += [rng.randrange(1, 0x4000) for _ in range(samples)]
            words += [0] * (32 - samples) + [0xFA5A]
    return struct.pack(f">{len(words)}H", *words)


def hestrel_numpy(raw, channels, samples):
    p = np.frombuffer(raw, dtype=">u2").reshape(-1, 37)
    p = p[(p[:, 36] == 0xFA5A) & p[:, 4:4 + samples].any(axis=1)]
    ch = p[:, 0] & 0x3F
    data = p[:, 4:4 + samples].astype(np.float32)
    timing = (p[:, 1].astype(np.uint32) & 0xFFF) << 12 | (p[:, 2] & 0xFFF)
    out = []
    for c in range(channels):
        t = timing[ch == c]
        d = int(t[0] - timing.min()) if t.size else 0
        out.append((data[ch == c].ravel().tolist(), (p[ch == c, 3] & 0x3F).tolist(), t.tolist(),
                    np.arange(d * samples, (d + t.size) * samples, dtype=np.uint32).tolist()))
    return out


def quimbra_event(chips, chans_per_chip, windows_per_channel, samples):
    words = []
    for chip in range(chips):
        words += [chip << 12, 1, 2]
        for k in range(windows_per_channel):
            for c in range(chans_per_chip):
                words.append(c << 8 | k)
                words += [rng.randrange(0x1000) for _ in range(samples)]
        words.append(0xFFFF)
    return struct.pack(f">{len(words)}H", *words)


def quimbra_numpy(raw, channels, chips, samples):
    w = np.frombuffer(raw, dtype=">u2")[:-1]
    stops = np.flatnonzero(w == 0xFFFF)
    data, labels, times = [[] for _ in range(channels)], [[] for _ in range(channels)], [[] for _ in range(channels)]
    per_chip = channels // chips
    for piece in np.split(w, stops + 1):
        piece = piece[:-1] if piece.size and piece[-1] == 0xFFFF else piece
        if piece.size <= 3:
            continue
        win = piece[3:].reshape(-1, samples + 1)
        ch = (piece[0] >> 12) * per_chip + ((win[:, 0] & 0x300) >> 8)
        values = (win[:, 1:] & 0xFFF).astype(np.float32)
        for c in np.unique(ch):
            data[c] += values[ch == c].ravel().tolist()
            labels[c] += (win[ch == c, 0] & 0xFF).tolist()
    for c in range(channels):
        times[c] = np.arange(len(data[c]), dtype=np.uint32).tolist()
    return data, labels, times


def rate(fn, seconds):
    n, start = 0, time.perf_counter()
    while True:
        fn()
        n += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return n / elapsed


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    cases = [
        # name, params, settings, event, sample values per event, numpy equivalent
        ("ysk16", dict(model="ysk16", channels=16, windows=32, samples=64), {},
         ysk16_event(16, 32, 64), 16 * 32 * 64, lambda raw: ysk16_numpy(raw, 16, 32, 64)),
        ("hestrel", dict(model="hestrelv2_evalr2", channels=16, windows=64, samples=32), {},
         hestrel_event(16, 64, 32), 16 * 64 * 32, lambda raw: hestrel_numpy(raw, 16, 32)),
        ("quimbra", dict(model="quimbra_pellam", channels=8, windows=256, samples=64), {},
         quimbra_event(2, 4, 64, 64), 8 * 64 * 64, lambda raw: quimbra_numpy(raw, 8, 2, 64)),
    ]
    print(f"{'family':<9} {'way':<8} {'events/s':>10} {'MB/s':>9} {'ns/sample':>10}")
    per_sample = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, params, settings, raw, values, numpy_way in cases:
            root = make_acquisition(os.path.join(tmp, name), chunks=[[raw] * COPIES], **params, **settings)
            acq = vuzevuz.Acquisition(root)
            ev = acq.parsed_event(0)
            assert sum(map(len, ev["data"])) == values, name
            counter = iter(range(10 ** 12))
            r = rate(lambda: acq.parsed_event(next(counter) % COPIES), seconds)
            per_sample[name] = 1e9 / (r * values)
            print(f"{name:<9} {'vuzevuz':<8} {r:>10.0f} {r * len(raw) / 1e6:>9.1f} {per_sample[name]:>10.2f}")
            r = rate(lambda: numpy_way(raw), seconds)
            print(f"{name:<9} {'numpy':<8} {r:>10.0f} {r * len(raw) / 1e6:>9.1f} {1e9 / (r * values):>10.2f}")
    for name in ("hestrel", "quimbra"):
        print(f"{name}: {per_sample[name] / per_sample['ysk16']:.2f} x the time per sample of ysk16")


if __name__ == "__main__":
    main()
