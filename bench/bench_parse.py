"""Parsed events of every parser family, in the two patterns users have, against the NumPy way.

Per family, over the events of one acquisition:
- kept: every event kept in a list, as users hold them: `[acq[i] for i in range(n)]` and `list(acq)`;
- dropped: `acq.parsed_event(i)` for each index, each result dropped at once;
- memory: what tracemalloc traces per kept event;
each against a plain NumPy way that builds equal dictionaries from the same raw bytes (held in
memory, so the NumPy way reads nothing from disk): frombuffer, mask, group per channel, `tolist`,
and the time axis made by one `tolist` per shape whose ints every channel shares through slices
and `extend`, as a careful user writes it. Equality is asserted before anything is timed.

The machine may be shared, so rates count the CPU time of this process only (time.process_time:
time spent waiting for a core counts against neither side) and each is the best of ROUNDS runs,
module and NumPy interleaved, every run after a full collection (the kept lists of one run are
freed before the next). The first parse fills the module's number tables; that happens before
any measurement, as in a process that has parsed once. The load average is printed before and
after.

    PYTHONPATH=build python3 bench/bench_parse.py [ROUNDS]
"""

import functools
import gc
import os
import struct
import sys
import tempfile
import time
import tracemalloc

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402


# ---- the NumPy way's shared helpers

@functools.lru_cache(maxsize=None)
def ring_axis(windows, samples):
    """Every time a ring of `windows` windows can give, made by one tolist: channels share its ints."""
    return (np.arange(windows * samples) % 65536).tolist()


def ring_time(labels, windows, samples):
    """Time axis of windows on a ring of `windows`, counted from the first label: one slice of the
    shared axis per run of consecutive ring distances, joined with extend."""
    lab = np.asarray(labels, dtype=np.int64)
    if lab.size == 0:
        return []
    d = np.where(lab >= lab[0], lab - lab[0], lab + windows - lab[0])
    axis = ring_axis(windows, samples)
    out = []
    for run in np.split(d, np.flatnonzero(np.diff(d) != 1) + 1):
        out.extend(axis[run[0] * samples:(run[-1] + 1) * samples])
    return out


def parsed_dict(data, labels, time_, timing=None, ecc_errors=None):
    return {"data": data, "window_labels": labels, "time": time_, "timing": timing, "ecc_errors": ecc_errors}


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
        time_.append(ring_axis(65536, 1)[start:end] if t.size and end > start else [])
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


# ---- measuring

def best_rate(runs, n):
    """Events per second of the fastest run; each entry of `runs` is one timed call over n events."""
    return n / min(runs)


def timed(fn):
    """CPU seconds of this process in one call of fn after a full collection; what fn returns is
    freed afterwards."""
    gc.collect()
    t = time.process_time()
    kept = fn()
    t = time.process_time() - t
    del kept
    return t


def traced_per_event(fn, n):
    """Bytes that tracemalloc sees still allocated per event after fn() made n kept events."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        kept = fn()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del kept
    return (after - before) / n


def drop_all(fn, items):
    for x in items:
        fn(x)


FAMILIES = [
    # name, model, event maker, NumPy way, events, (channels, windows, samples) of the metadata
    (f"ysk16 {Y_CH}x{Y_WIN}x{Y_S}", "ysk16", ysk16_event, ysk16_numpy, 200, (Y_CH, Y_WIN, Y_S)),
    (f"sirel96 {S_CHIPS}x{S_PER_CHIP}x{S_WIN}x{S_S}", "sirel96", sirel96_event, sirel96_numpy, 30, (S_CH, S_WIN, S_S)),
    (f"korvexv3 {KV_CH}x{KV_WIN // KV_CH}x{KV_S}", "korvexv3", korvexv3_event, korvexv3_numpy, 600,
     (KV_CH, KV_RING, KV_S)),
    (f"pellamv2 {KV_CH}x{KV_WIN // KV_CH}x{KV_S}", "pellamv2", korvexv3_event, korvexv3_numpy, 600,
     (KV_CH, KV_RING, KV_S)),
    (f"tolvanev3 {T_CH}x{T_WIN}x{T_S}", "tolvanev3", tolvanev3_event, tolvanev3_numpy, 300, (T_CH, T_RING, T_S)),
    (f"hestrel {H_CH}x{H_PACKETS}x{H_S}", "hestrelv2_evalr2", hestrel_event, hestrel_numpy, 300, (H_CH, 64, H_S)),
    (f"quimbra {Q_CHIPS}x{Q_PER_CHIP}x{Q_WIN}x{Q_S}", "quimbra_pellam", quimbra_event, quimbra_numpy, 300,
     (Q_CH, Q_RING, Q_S)),
    (f"korvexv3s {KS_CH}x{KS_WIN}x{KS_S}", "korvexv3s", korvexv3s_event, korvexv3s_numpy, 600, (KS_CH, KS_RING, KS_S)),
    (f"dravik {D_CH}x{D_WIN}x{D_S}", "dravik", dravik_event, dravik_numpy, 300, (D_CH, D_RING, D_S)),
]


def bench_family(name, model, make_event, numpy_way, n, shape, rng, tmp, rounds):
    events = [make_event(rng) for _ in range(n)]
    channels, windows, samples = shape
    root = make_acquisition(os.path.join(tmp, model), chunks=[events], model=model, channels=channels,
                            windows=windows, samples=samples)
    acq = vuzevuz.Acquisition(root)
    indices = range(n)
    for i in indices:
        assert acq.parsed_event(i) == numpy_way(events[i]), (name, i)
    patterns = {
        "kept": lambda: [acq[i] for i in indices],
        "list": lambda: list(acq),
        "numpy kept": lambda: [numpy_way(raw) for raw in events],
        "dropped": lambda: drop_all(acq.parsed_event, indices),
        "numpy dropped": lambda: drop_all(numpy_way, events),
    }
    runs = {key: [] for key in patterns}
    for _ in range(rounds):
        for key, fn in patterns.items():
            runs[key].append(timed(fn))
    r = {key: best_rate(t, n) for key, t in runs.items()}
    m = min(n, 50)
    mem = traced_per_event(lambda: [acq[i] for i in range(m)], m)
    mem_numpy = traced_per_event(lambda: [numpy_way(raw) for raw in events[:m]], m)
    print(f"{name:<22} {r['kept']:>7.0f} {r['list']:>7.0f} {r['numpy kept']:>7.0f} "
          f"{r['kept'] / r['numpy kept']:>6.2f}x {r['list'] / r['numpy kept']:>6.2f}x | "
          f"{r['dropped']:>7.0f} {r['numpy dropped']:>7.0f} {r['dropped'] / r['numpy dropped']:>6.2f}x | "
          f"{mem / 1e6:>6.2f} {mem_numpy / 1e6:>6.2f}", flush=True)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    rng = np.random.default_rng(1)
    print(f"load average {os.getloadavg()[0]:.2f}; events per CPU second, best of {rounds} runs")
    print(f"{'':<22} {'events kept':^46} | {'events dropped':^25} | {'MB per kept event':^13}")
    print(f"{'family':<22} {'acq[i]':>7} {'list()':>7} {'NumPy':>7} {'acq[i]/N':>7} {'list/N':>7} | "
          f"{'module':>7} {'NumPy':>7} {'ratio':>7} | {'module':>6} {'NumPy':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        for family in FAMILIES:
            bench_family(*family, rng, tmp, rounds)
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
