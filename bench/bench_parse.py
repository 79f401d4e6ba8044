"""parsed_event of one realistic event of every parser family, against the same job done with NumPy.

Per family: events/s, MB/s of raw bytes and Msamples/s through `Acquisition.parsed_event`, the time
per sample value against ysk16 (the yardstick), and parsed_event against a plain NumPy way of building
the same dictionary (decode, mask, group per channel, labels and time axis, to Python lists).
For ysk16 also the rate of iterating the acquisition.

    PYTHONPATH=build python3 bench/bench_parse.py
"""

import os
import struct
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402


# ---- shared helpers

def rate(fn, items):
    """Items per second of fn over items; results are dropped as they come."""
    t = time.perf_counter()
    n = 0
    for x in items:
        fn(x)
        n += 1
    return n / (time.perf_counter() - t)


def ring_time(labels, windows, samples):
    """Time axis of windows on a ring of `windows`, counted from the first label."""
    lab = np.asarray(labels, dtype=np.int64)
    if lab.size == 0:
        return []
    d = np.where(lab >= lab[0], lab - lab[0], lab + windows - lab[0])
    return ((d[:, None] * samples + np.arange(samples)) % 65536).ravel().tolist()


def parsed_dict(data, labels, time_, timing=None, ecc_errors=None):
    return {"data": data, "window_labels": labels, "time": time_, "timing": timing, "ecc_errors": ecc_errors}


def bench_family(name, model, make_event, numpy_way, n_events, rng, yardstick=None, iterate=False, **params):
    """Times parsed_event over n_events events of `model` and numpy_way over the same bytes, prints
    the line and returns the seconds per sample value of parsed_event."""
    events = [make_event(rng) for _ in range(n_events)]
    with tempfile.TemporaryDirectory() as tmp:
        root = make_acquisition(os.path.join(tmp, "acq"), chunks=[events], model=model, **params)
        acq = vuzevuz.Acquisition(root)
        checked = acq.parsed_event(1)
        assert checked == numpy_way(events[1]), name
        samples = sum(map(len, checked["data"]))
        mb = sum(map(len, events)) / 1e6 / n_events
        r_parsed = rate(acq.parsed_event, range(n_events))
        r_iter = rate(lambda ev: None, acq) if iterate else None
        del acq
    r_numpy = rate(numpy_way, events)
    per_sample = 1 / (r_parsed * samples)
    relative = per_sample / (yardstick or per_sample)
    print(f"{name:<24} {r_parsed:>8.0f} {r_parsed * mb:>6.0f} {r_parsed * samples / 1e6:>10.1f} "
          f"{relative:>18.2f}x {r_numpy:>10.0f} {r_parsed / r_numpy:>11.2f}x")
    if r_iter is not None:
        print(f"  {name}, iterating the acquisition: {r_iter:.0f} ev/s")
    return per_sample


# ---- ysk16: 16 channels, 64 windows of 64 samples (the yardstick)

Y_CH, Y_WIN, Y_S = 16, 64, 64


def ysk16_event(rng):
    words = []
    for ch in range(Y_CH):
        words.append(ch << 8 | int(rng.integers(Y_WIN)))
        words += rng.integers(0, 1 << 16, Y_WIN * Y_S).tolist()
        words.append(0)
    return b"\0" + struct.pack(f"<{len(words)}H", *words) + b"\0\0"


def ysk16_numpy(raw):
    words = np.frombuffer(raw, dtype="<u2", offset=1, count=(len(raw) - 3) // 2)
    blocks = words.reshape(Y_CH, Y_WIN * Y_S + 2)
    headers = blocks[:, 0]
    channels = (headers & 0xFF00) >> 8
    starts = headers & 0xFF
    values = ((~blocks[:, 1:-1]) & 0x3FF).astype(np.float32)
    data = [[] for _ in range(Y_CH)]
    labels = [[] for _ in range(Y_CH)]
    ring = np.arange(Y_WIN)
    for b in range(Y_CH):
        c = int(channels[b])
        data[c] += values[b].tolist()
        labels[c] += ((starts[b] + ring) % Y_WIN).tolist()
    return parsed_dict(data, labels, [ring_time(lab, Y_WIN, Y_S) for lab in labels])


# ---- sirel96: six chips of 16 channels, 64 windows of 64 samples (786842-byte events)

S_CHIPS, S_PER_CHIP, S_WIN, S_S = 6, 16, 64, 64
S_CH = S_CHIPS * S_PER_CHIP


def sirel96_event(rng):
    out = bytearray()
    for chip in range(S_CHIPS):
        words = []
        for ch in range(S_PER_CHIP):
            words.append(ch << 8 | int(rng.integers(S_WIN)))
            words += rng.integers(0, 1 << 16, S_WIN * S_S).tolist()
            words.append(0)
        out += bytes([chip]) + struct.pack(f"<{len(words)}H", *words) + bytes(3)
    return bytes(out + bytes(2))


def sirel96_numpy(raw):
    blocks = np.frombuffer(raw[:-2], dtype=np.uint8).reshape(S_CHIPS, -1)
    data = [[] for _ in range(S_CH)]
    labels = [[] for _ in range(S_CH)]
    ring = np.arange(S_WIN)
    for chip in blocks:
        base = int(chip[0] & 0x3F) * S_PER_CHIP
        words = chip[1:-3].view("<u2").reshape(S_PER_CHIP, S_WIN * S_S + 2)
        values = (~words[:, 1:-1] & 0x3FF).astype(np.float32)
        for b in range(S_PER_CHIP):
            c = base + int((words[b, 0] & 0xFF00) >> 8)
            data[c] += values[b].tolist()
            labels[c] += ((int(words[b, 0] & 0xFF) + ring) % S_WIN).tolist()
    return parsed_dict(data, labels, [ring_time(lab, S_WIN, S_S) for lab in labels],
                       ecc_errors=[[] for _ in range(S_CH)])


# ---- korvexv3 and pellamv2: 4 channels, 256 windows of 64 samples dealt out in turn

KV_CH, KV_WIN, KV_RING, KV_S = 4, 256, 512, 64


def korvexv3_event(rng):
    words = [0x0102, 0x0300, 0]
    for j in range(KV_WIN):
        words.append((j % KV_CH) << 9 | int(rng.integers(256)) << 1)
        words += rng.integers(0, 1 << 16, KV_S).tolist()
    words.append(0)
    return struct.pack(f">{len(words)}H", *words)


def korvexv3_numpy(raw):
    words = np.frombuffer(raw, dtype=">u2")[3:-1].reshape(KV_WIN, KV_S + 1)
    chans = np.unique((words[:KV_CH, 0] & 0x600) >> 9)
    values = ((words[:, 1:] & 0x1FFF) >> 1).astype(np.float32)
    win_labels = (words[:, 0] & 0x1FE) >> 1
    data = [[] for _ in range(KV_CH)]
    labels = [[] for _ in range(KV_CH)]
    for k, c in enumerate(chans.tolist()):
        data[c] = values[k::len(chans)].ravel().tolist()
        labels[c] = win_labels[k::len(chans)].tolist()
    return parsed_dict(data, labels, [ring_time(lab, KV_RING, KV_S) for lab in labels])


# ---- tolvanev3: 4 channels, 128 windows of 64 samples; channels and windows found from the length

T_CH, T_WIN, T_RING, T_S = 4, 128, 512, 64


def tolvanev3_event(rng):
    words = [0, 0, 0]
    for _ in range(T_WIN):
        for c in range(T_CH):
            words.append(c << 10 | int(rng.integers(512)) << 1)
            words += rng.integers(0, 1 << 16, T_S).tolist()
        words.append(0)
    words.append(0)
    return struct.pack(f">{len(words)}H", *words)


def tolvanev3_numpy(raw):
    block = T_S + 1
    words = np.frombuffer(raw, dtype=">u2")[3:-1].reshape(T_WIN, T_CH * block + 1)[:, :-1]
    blocks = words.reshape(T_WIN * T_CH, block)
    chans = (blocks[:, 0] & 0xC00) >> 10
    values = ((blocks[:, 1:] & 0x1FFF) >> 1).astype(np.float32)
    win_labels = (blocks[:, 0] & 0x3FE) >> 1
    data = [values[chans == c].ravel().tolist() for c in range(T_CH)]
    labels = [win_labels[chans == c].tolist() for c in range(T_CH)]
    return parsed_dict(data, labels, [ring_time(lab, T_RING, T_S) for lab in labels])


# ---- hestrel: 16 channels, 64 packets of 32 samples each (37-word packets closed by 0xFA5A)

H_CH, H_PACKETS, H_S, H_WORDS = 16, 64, 32, 37


def hestrel_event(rng):
    words = []
    for k in range(H_PACKETS):
        for c in range(H_CH):
            t = 1000 + k
            words += [c, t >> 12 & 0xFFF, t & 0xFFF, k & 0x3F]
            words += rng.integers(1, 0x4000, H_S).tolist()
            words += [0] * (H_WORDS - 5 - H_S) + [0xFA5A]
    return struct.pack(f">{len(words)}H", *words)


def hestrel_numpy(raw):
    p = np.frombuffer(raw, dtype=">u2").reshape(-1, H_WORDS)
    p = p[(p[:, -1] == 0xFA5A) & p[:, 4:4 + H_S].any(axis=1)]
    ch = p[:, 0] & 0x3F
    values = p[:, 4:4 + H_S].astype(np.float32)
    timing_all = (p[:, 1].astype(np.uint32) & 0xFFF) << 12 | (p[:, 2] & 0xFFF)
    sel = [ch == c for c in range(H_CH)]
    timing = [timing_all[s] for s in sel]
    origin = min(int(t[0]) for t in timing if t.size)
    time_ = []
    for t in timing:
        d = int(t[0]) - origin if t.size else 0
        start, end = d * H_S % 65536, (d + t.size) * H_S % 65536
        time_.append(np.arange(start, end).tolist() if t.size and end > start else [])
    return parsed_dict([values[s].ravel().tolist() for s in sel], [(p[s, 3] & 0x3F).tolist() for s in sel],
                       time_, timing=[t.tolist() for t in timing])


# ---- quimbra: 2 chips of 4 channels, 64 windows of 64 samples per channel

Q_CHIPS, Q_PER_CHIP, Q_WIN, Q_RING, Q_S = 2, 4, 64, 256, 64
Q_CH = Q_CHIPS * Q_PER_CHIP


def quimbra_event(rng):
    words = []
    for chip in range(Q_CHIPS):
        words += [chip << 12, 1, 2]
        for k in range(Q_WIN):
            for c in range(Q_PER_CHIP):
                words.append(c << 8 | k)
                words += rng.integers(0, 0x1000, Q_S).tolist()
        words.append(0xFFFF)
    return struct.pack(f">{len(words)}H", *words)


def quimbra_numpy(raw):
    w = np.frombuffer(raw, dtype=">u2")[:-1]  # the last word is never read
    data = [[] for _ in range(Q_CH)]
    labels = [[] for _ in range(Q_CH)]
    for piece in np.split(w, np.flatnonzero(w == 0xFFFF) + 1):
        piece = piece[:-1] if piece.size and piece[-1] == 0xFFFF else piece
        if piece.size <= 3:
            continue
        win = piece[3:].reshape(-1, Q_S + 1)
        ch = (piece[0] >> 12) * Q_PER_CHIP + ((win[:, 0] & 0x300) >> 8)
        values = (win[:, 1:] & 0xFFF).astype(np.float32)
        for c in np.unique(ch).tolist():
            data[c] += values[ch == c].ravel().tolist()
            labels[c] += (win[ch == c, 0] & 0xFF).tolist()
    return parsed_dict(data, labels, [ring_time(lab, Q_RING, Q_S) for lab in labels])


# ---- korvexv3s: 4 channels, a ring of 256 windows, 64 samples, 64 windows per event

KS_CH, KS_RING, KS_S, KS_WIN = 4, 256, 64, 64
KS_BLOCK = KS_S + 1


def korvexv3s_event(rng):
    words = [0, 0, 0]
    start = int(rng.integers(KS_RING))
    for w in range(KS_WIN):
        for c in range(KS_CH):
            words.append(c << 8 | (start + w) % KS_RING)
            words += rng.integers(0, 1 << 13, KS_S).tolist()
    words.append(0)
    return struct.pack(f">{len(words)}H", *words)


def korvexv3s_numpy(raw):
    words = np.frombuffer(raw, dtype=">u2")[3:-1]
    n_win = len(words) // (KS_CH * KS_BLOCK)
    blocks = words[:n_win * KS_CH * KS_BLOCK].reshape(n_win * KS_CH, KS_BLOCK)
    heads = blocks[:, 0]
    channels = (heads & 0x3FF) >> 8
    labels_all = heads & 0xFF
    values = (blocks[:, 1:] & 0x1FFF).astype(np.float32)
    sel = [channels == c for c in range(KS_CH)]
    labels = [labels_all[s].tolist() for s in sel]
    return parsed_dict([values[s].ravel().tolist() for s in sel], labels,
                       [ring_time(lab, KS_RING, KS_S) for lab in labels])


# ---- dravik: 16 channels (four groups per window), a ring of 64 windows, 32 samples, 64 windows per event

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
    sel = [channels == c for c in range(D_CH)]
    labels = [labels_all[s].tolist() for s in sel]
    return parsed_dict([values[s].ravel().tolist() for s in sel], labels,
                       [ring_time(lab, D_RING, D_S) for lab in labels])


def main():
    rng = np.random.default_rng(1)
    print(f"{'family':<24} {'events/s':>8} {'MB/s':>6} {'Msamples/s':>10} {'time/sample / ysk16':>19} "
          f"{'NumPy ev/s':>10} {'parsed/NumPy':>12}")
    y = bench_family(f"ysk16 {Y_CH}x{Y_WIN}x{Y_S}", "ysk16", ysk16_event, ysk16_numpy, 200, rng, iterate=True,
                     channels=Y_CH, windows=Y_WIN, samples=Y_S)
    bench_family(f"sirel96 {S_CHIPS}x{S_PER_CHIP}x{S_WIN}x{S_S}", "sirel96", sirel96_event, sirel96_numpy, 30, rng,
                 y, channels=S_CH, windows=S_WIN, samples=S_S)
    for model in ("korvexv3", "pellamv2"):
        bench_family(f"{model} {KV_CH}x{KV_WIN // KV_CH}x{KV_S}", model, korvexv3_event, korvexv3_numpy, 600, rng,
                     y, channels=KV_CH, windows=KV_RING, samples=KV_S)
    bench_family(f"tolvanev3 {T_CH}x{T_WIN}x{T_S}", "tolvanev3", tolvanev3_event, tolvanev3_numpy, 300, rng, y,
                 channels=T_CH, windows=T_RING, samples=T_S)
    bench_family(f"hestrel {H_CH}x{H_PACKETS}x{H_S}", "hestrelv2_evalr2", hestrel_event, hestrel_numpy, 300, rng,
                 y, channels=H_CH, windows=64, samples=H_S)
    bench_family(f"quimbra {Q_CHIPS}x{Q_PER_CHIP}x{Q_WIN}x{Q_S}", "quimbra_pellam", quimbra_event, quimbra_numpy,
                 300, rng, y, channels=Q_CH, windows=Q_RING, samples=Q_S)
    bench_family(f"korvexv3s {KS_CH}x{KS_WIN}x{KS_S}", "korvexv3s", korvexv3s_event, korvexv3s_numpy, 600, rng, y,
                 channels=KS_CH, windows=KS_RING, samples=KS_S)
    bench_family(f"dravik {D_CH}x{D_WIN}x{D_S}", "dravik", dravik_event, dravik_numpy, 300, rng, y,
                 channels=D_CH, windows=D_RING, samples=D_S)


if __name__ == "__main__":
    main()
