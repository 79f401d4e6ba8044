"""raw_event of an event in the last of 16 chunks, against the same read in plain Python and
against the bare system calls that the read needs (open, fstat and close of each chunk's two
files, two preads), issued from Python's os functions."""

import mmap
import os
import struct
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import vuzevuz  # noqa: E402
from acqtools import make_acquisition  # noqa: E402

CHUNKS, EVENTS, SIZE = 16, 1000, 4096


def plain_raw_event(root, index):
    """What raw_event does, written in Python: walk the index files, then slice the data file."""
    n = 0
    while True:
        try:
            with open(os.path.join(root, f"{n}.idx"), "rb") as f:
                size = os.fstat(f.fileno()).st_size
                count = size // 8
                if index < count:
                    with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
                        offset, length = struct.unpack_from("<II", m, index * 8)
                    with open(os.path.join(root, f"{n}.bin"), "rb") as d, \
                            mmap.mmap(d.fileno(), 0, access=mmap.ACCESS_READ) as dm:
                        return bytes(dm[offset:offset + length])
                index -= count
        except FileNotFoundError:
            raise IndexError("Index out of bounds")
        n += 1


def bare_calls(paths, index):
    """Only the system calls of the read, on paths joined beforehand, with no parsing of entries
    and no checks."""
    for n, (bin_path, idx_path) in enumerate(paths):
        d = os.open(bin_path, os.O_RDONLY)
        i = os.open(idx_path, os.O_RDONLY)
        os.fstat(i)
        if n == CHUNKS - 1:
            os.pread(i, 8, 8 * (index % EVENTS))
            os.fstat(d)
            out = os.pread(d, SIZE, SIZE * (index % EVENTS))
        os.close(d)
        os.close(i)
    return out


def main():
    with tempfile.TemporaryDirectory() as tmp:
        event = bytes(range(256)) * (SIZE // 256)
        root = make_acquisition(os.path.join(tmp, "acq"), chunks=[[event] * EVENTS] * CHUNKS)
        acq = vuzevuz.Acquisition(root)
        last = CHUNKS * EVENTS - 1
        assert acq.raw_event(last)["rawdata"] == plain_raw_event(root, last)
        reps = 2000
        t_mod = min(timeit.repeat(lambda: acq.raw_event(last), number=reps, repeat=5)) / reps
        t_py = min(timeit.repeat(lambda: plain_raw_event(root, last), number=reps, repeat=5)) / reps
        paths = [(os.path.join(root, f"{n}.bin"), os.path.join(root, f"{n}.idx")) for n in range(CHUNKS)]
        assert bare_calls(paths, last) == acq.raw_event(last)["rawdata"]
        t_bare = min(timeit.repeat(lambda: bare_calls(paths, last), number=reps, repeat=5)) / reps
        print(f"raw_event, event in chunk {CHUNKS - 1}: vuzevuz {t_mod * 1e6:.1f} us, "
              f"plain Python {t_py * 1e6:.1f} us, ratio {t_py / t_mod:.1f}x; "
              f"its bare system calls from Python's os {t_bare * 1e6:.1f} us")


if __name__ == "__main__":
    main()
