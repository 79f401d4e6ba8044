"""Throughput of ecc_check on a full six-chip sirel96 event with a few hundred flipped bits.

Compares it with a bytes copy of the same size, with the same check on one thread (a child
process limited to one processor) and with a vectorised NumPy check.

    PYTHONPATH=build python bench/bench_ecc.py [--flips N]
"""

import argparse
import os
import subprocess
import sys
import timeit

import numpy as np

import vuzevuz

CHIP = 131140
EVENT_BYTES = 6 * CHIP + 2
MASKS = np.array([0x055B, 0x0A6D, 0x138E, 0x23F0], dtype=np.uint16)
TO_BIT = np.array([0, 10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15], dtype=np.int64)
STARTS = np.array([CHIP * (r // 16) + 8196 * (r % 16) + 3 for r in range(96)], dtype=np.int64)


def parity(x):
    return (np.bitwise_count(x) & 1).astype(np.int64)


def make_event(flips, seed=1):
    """Random sound code words in all 96 channels, then `flips` random bit flips in them."""
    rng = np.random.default_rng(seed)
    data = rng.integers(0, 1024, size=96 * 4096, dtype=np.uint16)
    check = sum(parity(data & m) << i for i, m in enumerate(MASKS)).astype(np.uint16)
    words = data | check << 10
    words |= parity(words).astype(np.uint16) << 14
    raw = bytearray(rng.integers(0, 256, size=EVENT_BYTES, dtype=np.uint8).tobytes())
    samples = words.astype("<u2").reshape(96, 4096)
    for r in range(96):
        raw[STARTS[r] : STARTS[r] + 8192] = samples[r].tobytes()
    for _ in range(flips):
        r, j, b = rng.integers(96), rng.integers(4096), rng.integers(16)
        off = STARTS[r] + 2 * j + b // 8
        raw[off] ^= 1 << (b % 8)
    return bytes(raw)


SAMPLE_INDEX = (STARTS[:, None] + np.arange(8192)).reshape(-1)


def numpy_check(raw):
    buf = np.frombuffer(raw, dtype=np.uint8)
    words = buf[SAMPLE_INDEX].view("<u2").reshape(96, 4096)
    v = sum(parity(words & m) << i for i, m in enumerate(MASKS))
    p = parity(words)
    r, j = np.nonzero((v != 0) | (p == 1))
    w, v, p = words[r, j].astype(np.int64), v[r, j], p[r, j]
    bit = TO_BIT[v]
    corrected = np.where((p == 1) & (v != 0), w ^ (1 << bit), w)
    table = np.stack([2 * j, STARTS[r] + 2 * j, w, corrected, bit, p], axis=1)
    return list(map(tuple, table.tolist()))


def best(stmt, number, repeat=7):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--flips", type=int, default=300)
    ap.add_argument("--one-thread", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    raw = make_event(args.flips)

    if args.one_thread:
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        print(best(lambda: vuzevuz.ecc_check(raw), 200))
        return

    found = vuzevuz.ecc_check(raw)
    assert found == numpy_check(raw), "NumPy check disagrees"
    source = bytearray(raw)
    sound = make_event(0)
    t_check = best(lambda: vuzevuz.ecc_check(raw), 300)
    t_sound = best(lambda: vuzevuz.ecc_check(sound), 300)
    t_copy = best(lambda: bytes(source), 300)
    t_numpy = best(lambda: numpy_check(raw), 5, repeat=3)
    one = subprocess.run(
        [sys.executable, __file__, "--one-thread", "--flips", str(args.flips)],
        check=True, capture_output=True, text=True,
    )
    t_one = float(one.stdout)

    mb = len(raw) / 1e6
    print(f"event: {len(raw)} bytes, {len(found)} findings, {len(os.sched_getaffinity(0))} processors")
    print(f"ecc_check        {t_check * 1e6:9.1f} us  {mb / t_check:9.0f} MB/s")
    print(f"  no findings    {t_sound * 1e6:9.1f} us  {mb / t_sound:9.0f} MB/s   (the same event without flips)")
    print(f"bytes copy       {t_copy * 1e6:9.1f} us  {mb / t_copy:9.0f} MB/s   check/copy   {t_check / t_copy:5.2f}x (target <= 2)")
    print(f"ecc_check 1 thr  {t_one * 1e6:9.1f} us  {mb / t_one:9.0f} MB/s   speed-up     {t_one / t_check:5.2f}x")
    print(f"NumPy check      {t_numpy * 1e6:9.1f} us  {mb / t_numpy:9.0f} MB/s   ecc_check is {t_numpy / t_check:5.1f}x faster (target >= 10)")


if __name__ == "__main__":
    main()
