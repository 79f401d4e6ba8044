"""ysk16 events whose blocks name channels in any order: the parse costs the same whichever
channels the blocks name, against the NumPy way of the same job.

Each event holds B one-word blocks (no header or footer words besides the block's own word, one
window of one sample: the header word is also the sample word) and B channels. Three layouts:
- spread: block b names channel b;
- one channel: every block names channel 0 (its list grows with every block);
- shuffled: the channels of "spread" in random order.
The NumPy way decodes the words, groups the values per channel with one stable argsort and makes
the same dictionary. Rates count the CPU time of this process (time.process_time), best of ROUNDS
runs, after a full collection; equality with the NumPy way is asserted first.

    PYTHONPATH=build python3 bench/bench_block_order.py [ROUNDS]
"""

import gc
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402

SETTINGS = dict(chanmask=0xFFFF, chan_shift=0, windmask=0, data_mask=0xFFFF, n_chip_headers=0, n_chip_footers=0,
                n_window_headers=0, n_window_footers=0)


def event(channels):
    return np.asarray(channels, dtype="<u2").tobytes()


def numpy_way(raw, n):
    words = np.frombuffer(raw, dtype="<u2")
    order = np.argsort(words, kind="stable")
    values = (~words[order]).astype(np.float32)
    cuts = np.searchsorted(words[order], np.arange(1, n))
    data = [v.tolist() for v in np.split(values, cuts)]
    labels = [[0] * len(d) for d in data]
    return {"data": data, "window_labels": labels, "time": labels, "timing": None, "ecc_errors": None}


def best(fn, rounds):
    runs = []
    for _ in range(rounds):
        gc.collect()
        t = time.process_time()
        kept = fn()
        runs.append(time.process_time() - t)
        del kept
    return min(runs)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    rng = np.random.default_rng(1)
    print(f"load average {os.getloadavg()[0]:.2f}; CPU ms per event, best of {rounds} runs")
    print(f"{'blocks':>8} {'layout':<12} {'module':>8} {'NumPy':>8} {'NumPy/module':>13}")
    with tempfile.TemporaryDirectory() as tmp:
        for n in (1 << 14, 1 << 17, 1 << 18):
            spread = np.arange(n) % 65536
            layouts = {"spread": spread, "one channel": np.zeros(n, dtype=np.int64),
                       "shuffled": rng.permutation(spread)}
            for name, channels in layouts.items():
                raw = event(channels)
                root = make_acquisition(os.path.join(tmp, f"{n}-{name}"), chunks=[[raw]], model="ysk16",
                                        channels=n, windows=1, samples=1, **SETTINGS)
                acq = vuzevuz.Acquisition(root)
                assert acq[0] == numpy_way(raw, n), (n, name)
                module = best(lambda: acq[0], rounds)
                plain = best(lambda: numpy_way(raw, n), rounds)
                print(f"{n:>8} {name:<12} {module * 1e3:>8.1f} {plain * 1e3:>8.1f} {plain / module:>12.2f}x", flush=True)
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
