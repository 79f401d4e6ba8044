"""Reading large pedestal blobs: export_csv with correction of one event, against the plain NumPy way
of loading the same table (gzip.decompress, pickle.loads, numpy.asarray as float32). Each runs in a
child process.

Blobs: a table of 2**25 numbers (128 channels x 4096 windows x 64 samples, every window its own
list of floats, about 300 MB of pickle), and a small table next to a skipped value of 300 MB
(bytes, UTF-8 text, or a list of numbers)."""

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import numpy as np  # noqa: E402
import test_pedestals as tp  # noqa: E402
from acqtools import make_acquisition  # noqa: E402
from formats import ysk16_block, ysk16_event  # noqa: E402

CHANNELS, WINDOWS, SAMPLES = tp.BIG

NUMPY_WAY = textwrap.dedent("""
    import gzip, pickle, re, sys, time
    import numpy as np
    def status(key):
        with open("/proc/self/status") as f:
            return int(re.search(key + r":\\s+(\\d+)", f.read()).group(1)) * 1024
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    t = time.perf_counter()
    with open(sys.argv[1], "rb") as f:
        obj = pickle.loads(gzip.decompress(f.read()))
    table = obj["data"] if isinstance(obj, dict) else next(iter(obj))
    arrays = [[np.asarray(w, np.float32) for w in ch] for ch in table]
    print(time.perf_counter() - t, status("VmHWM") - before)
""")


def numpy_way(blob):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", NUMPY_WAY, str(blob)], check=True, env=env, capture_output=True,
                         text=True)
    secs, grown = run.stdout.split()
    return int(grown), float(secs)


def streamed_table_blob(path):
    """{"data": table} of 2**25 floats: T[ch][w][s] = ch + w % 48 + s / 64 (a period of 48
    windows keeps the blob small; the pickle still writes every window out)."""
    frac = np.arange(SAMPLES) / SAMPLES
    pieces = [b"\x80\x04}(\x8c\x04data]("]
    for ch in range(CHANNELS):
        pieces.append(b"](" + tp.pickled_windows(ch + (np.arange(WINDOWS) % 48)[:, None] + frac[None, :]) + b"e")
    tp.gzip_pieces(path, pieces + [b"eu."])


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        print("memory: how far the process's peak resident memory rose above what it held before the call")
        cases = [("table of 2**25 numbers", streamed_table_blob, 2**25 * 9)]
        for kind in ["bytes", "str", "numbers"]:
            cases.append((f"skipped {kind} value of 300 MB", lambda p, k=kind: tp.gzip_pieces(p, tp.skipped_pieces(k)),
                          300e6))
        for name, build, stream_bytes in cases:
            root = tmp / name.replace(" ", "_") / "run"
            make_acquisition(root, [[ysk16_event([ysk16_block(0, 0, tp.DATA)])]], channels=1, windows=2, samples=2)
            blob = root / "pedestals_calibration"
            build(blob)
            grown, secs = tp.export_measured(root, root.parent)
            np_grown, np_secs = numpy_way(blob)
            print(f"{name} (blob {blob.stat().st_size / 1e6:.1f} MB, about {stream_bytes / 1e6:.0f} MB of pickle):\n"
                  f"  export_csv {secs:.2f} s ({stream_bytes / 1e6 / secs:.0f} MB/s), memory +{grown / 2**20:.0f} MiB;\n"
                  f"  NumPy way {np_secs:.2f} s, memory +{np_grown / 2**20:.0f} MiB; "
                  f"export_csv is {np_secs / secs:.1f}x faster")


if __name__ == "__main__":
    main()
