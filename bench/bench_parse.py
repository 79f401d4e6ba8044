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


def time_axis_np(labels, windows, samples):
    lab = np.asarray(labels, dtype=np.int64)
    if lab.size == 0:
        return []
    d = np.where(lab >= lab[0], lab - lab[0], lab + windows - lab[0])
    return ((d[:, None] * samples + np.arange(samples)) % 65536).ravel().tolist()


def family_rate(name, model, events, numpy_parse_fn, samples_per_event, **params):
    """parsed_event against a NumPy parse of the same events: events/s, MB/s, samples/s."""
    with tempfile.TemporaryDirectory() as tmp:
        root = make_acquisition(os.path.join(tmp, "acq"), chunks=[events], model=model, **params)
        acq = vuzevuz.Acquisition(root)
        assert acq.parsed_event(1) == numpy_parse_fn(events[1])
        mb = sum(map(len, events)) / 1e6
        r_parsed = rate(acq.parsed_event, range(len(events)))
        r_numpy = rate(numpy_parse_fn, events)
        print(f"{name}: parsed_event {r_parsed:.0f} ev/s ({r_parsed * mb / len(events):.0f} MB/s, "
              f"{r_parsed * samples_per_event / 1e6:.1f} Msamples/s), NumPy {r_numpy:.0f} ev/s; "
              f"parsed_event/NumPy {r_parsed / r_numpy:.2f}x")


# ---- sirel96: six chips of 16 channels, 64 windows of 64 samples (786842-byte events)

def bench_sirel96(rng, n_events=60, windows=64, samples=64):
    chips, per_chip, ws = 6, 16, windows * samples

    def event():
        out = bytearray()
        for chip in range(chips):
            words = []
            for ch in range(per_chip):
                words.append(ch << 8 | int(rng.integers(windows)))
                words += rng.integers(0, 1 << 16, ws).tolist()
                words.append(0)
            out += bytes([chip]) + struct.pack(f"<{len(words)}H", *words) + bytes(3)
        return bytes(out + bytes(2))

    def numpy_parse(raw):
        blocks = np.frombuffer(raw[:-2], dtype=np.uint8).reshape(chips, -1)
        data = [[] for _ in range(96)]
        labels = [[] for _ in range(96)]
        ring = np.arange(windows)
        for chip in blocks:
            base = int(chip[0] & 0x3F) * per_chip
            words = chip[1:-3].view("<u2").reshape(per_chip, ws + 2)
            values = (~words[:, 1:-1] & 0x3FF).astype(np.float32)
            for b in range(per_chip):
                c = base + int((words[b, 0] & 0xFF00) >> 8)
                data[c] += values[b].tolist()
                labels[c] += ((int(words[b, 0] & 0xFF) + ring) % windows).tolist()
        return {"data": data, "window_labels": labels, "time": [time_axis_np(l, windows, samples) for l in labels],
                "timing": None, "ecc_errors": [[] for _ in range(96)]}

    events = [event() for _ in range(n_events)]
    family_rate(f"sirel96 6x16x{windows}x{samples}", "sirel96", events, numpy_parse, 96 * ws, channels=96,
                windows=windows, samples=samples)


# ---- korvexv3 and pellamv2: 4 channels, 256 windows of 64 samples dealt out in turn

def bench_korvexv3(rng, model="korvexv3", n_events=400, channels=4, n_windows=256, samples=64):
    def event():
        words = [0x0102, 0x0300, 0]
        for j in range(n_windows):
            words.append((j % channels) << 9 | int(rng.integers(256)) << 1)
            words += rng.integers(0, 1 << 16, samples).tolist()
        words.append(0)
        return struct.pack(f">{len(words)}H", *words)

    def numpy_parse(raw):
        words = np.frombuffer(raw, dtype=">u2")[3:-1].reshape(n_windows, samples + 1)
        chans = np.unique((words[:channels, 0] & 0x600) >> 9)
        values = ((words[:, 1:] & 0x1FFF) >> 1).astype(np.float32)
        win_labels = (words[:, 0] & 0x1FE) >> 1
        data = [[] for _ in range(channels)]
        labels = [[] for _ in range(channels)]
        for k, c in enumerate(chans.tolist()):
            data[c] = values[k::len(chans)].ravel().tolist()
            labels[c] = win_labels[k::len(chans)].tolist()
        return {"data": data, "window_labels": labels, "time": [time_axis_np(l, 512, samples) for l in labels],
                "timing": None, "ecc_errors": None}

    events = [event() for _ in range(n_events)]
    family_rate(f"{model} {channels}x{n_windows // channels}x{samples}", model, events, numpy_parse,
                n_windows * samples, channels=channels, windows=512, samples=samples)


# ---- tolvanev3: 4 channels, 128 windows of 64 samples; channels and windows found from the length

def bench_tolvanev3(rng, n_events=400, channels=4, n_windows=128, samples=64):
    block = samples + 1

    def event():
        words = [0, 0, 0]
        for _ in range(n_windows):
            for c in range(channels):
                words.append(c << 10 | int(rng.integers(512)) << 1)
                words += rng.integers(0, 1 << 16, samples).tolist()
            words.append(0)
        words.append(0)
        return struct.pack(f">{len(words)}H", *words)

    def numpy_parse(raw):
        words = np.frombuffer(raw, dtype=">u2")[3:-1].reshape(n_windows, channels * block + 1)[:, :-1]
        blocks = words.reshape(n_windows * channels, block)
        chans = (blocks[:, 0] & 0xC00) >> 10
        values = ((blocks[:, 1:] & 0x1FFF) >> 1).astype(np.float32)
        win_labels = (blocks[:, 0] & 0x3FE) >> 1
        data = [values[chans == c].ravel().tolist() for c in range(channels)]
        labels = [win_labels[chans == c].tolist() for c in range(channels)]
        return {"data": data, "window_labels": labels, "time": [time_axis_np(l, 512, samples) for l in labels],
                "timing": None, "ecc_errors": None}

    events = [event() for _ in range(n_events)]
    family_rate(f"tolvanev3 {channels}x{n_windows}x{samples}", "tolvanev3", events, numpy_parse,
                n_windows * channels * samples, channels=channels, windows=512, samples=samples)


if __name__ == "__main__":
    main()
    family_rng = np.random.default_rng(2)
    bench_sirel96(family_rng)
    bench_korvexv3(family_rng)
    bench_korvexv3(family_rng, model="pellamv2")
    bench_tolvanev3(family_rng)
