"""Reading large pedestal blobs: export_csv with correction of one event, against the plain NumPy way
of loading the same table (gzip.decompress, pickle.loads, numpy.asarray as float32). Each runs in a
child process; the peak RSS is that child's.

Blobs: a table of 2**25 numbers (128 channels x 4096 windows x 64 samples), and a small table next
to a skipped value of 300 MB (bytes, UTF-8 text, or a list of numbers)."""

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import test_pedestals as tp  # noqa: E402
import ysk16  # noqa: E402
from acqtools import make_acquisition  # noqa: E402

NUMPY_WAY = textwrap.dedent("""
    import gzip, pickle, resource, sys, time
    import numpy as np
    t = time.perf_counter()
    with open(sys.argv[1], "rb") as f:
        obj = pickle.loads(gzip.decompress(f.read()))
    table = obj["data"] if isinstance(obj, dict) else next(iter(obj))
    arrays = [[np.asarray(w, np.float32) for w in ch] for ch in table]
    print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
""")


def numpy_way(blob):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", NUMPY_WAY, str(blob)], check=True, env=env, capture_output=True,
                         text=True)
    secs, kib = run.stdout.split()
    return int(kib) * 1024, float(secs)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        base = tmp / "base" / "run"
        make_acquisition(base, [[ysk16.event([ysk16.block(0, 0, tp.DATA)])]], channels=1, windows=2, samples=2)
        (base / "pedestals_calibration").write_bytes(tp.gz(tp.GOOD))
        base_peak, _ = tp.export_measured(base, base.parent)
        np_base_peak, _ = numpy_way(base / "pedestals_calibration")
        print(f"with a table of 4 numbers, peak RSS: export_csv {base_peak / 2**20:.0f} MiB, "
              f"NumPy way {np_base_peak / 2**20:.0f} MiB (below: what a large blob adds)")

        cases = [("table of 2**25 numbers", tp.big_table_blob, 2**25 * 9)]
        for kind in ["bytes", "str", "numbers"]:
            cases.append((f"skipped {kind} value of 300 MB", lambda p, k=kind: tp.gzip_pieces(p, tp.skipped_pieces(k)),
                          300e6))
        for name, build, stream_bytes in cases:
            root = tmp / name.replace(" ", "_") / "run"
            make_acquisition(root, [[ysk16.event([ysk16.block(0, 0, tp.DATA)])]], channels=1, windows=2, samples=2)
            blob = root / "pedestals_calibration"
            build(blob)
            peak, secs = tp.export_measured(root, root.parent)
            np_peak, np_secs = numpy_way(blob)
            print(f"{name} (blob {blob.stat().st_size / 1e6:.1f} MB, about {stream_bytes / 1e6:.0f} MB of pickle):\n"
                  f"  export_csv {secs:.2f} s ({stream_bytes / 1e6 / secs:.0f} MB/s), "
                  f"peak RSS +{(peak - base_peak) / 2**20:.0f} MiB;\n"
                  f"  NumPy way {np_secs:.2f} s, peak RSS +{(np_peak - np_base_peak) / 2**20:.0f} MiB; "
                  f"export_csv is {np_secs / secs:.1f}x faster")


if __name__ == "__main__":
    main()
