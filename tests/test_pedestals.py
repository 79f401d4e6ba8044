"""The pedestal blob read in process and the correction, seen through export_csv."""

import collections
import gzip
import os
import pickle
import struct
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest

import vuzevuz
from acqtools import make_acquisition
from formats import ysk16_block, ysk16_event

# One channel, windows 0 and 1, two samples each.
DATA = [10, 20, 30, 40]
TABLE = [[[1.5, 2.5], [3.25, 4]]]
CORRECTED = ["8.5", "17.5", "26.75", "36"]
RAW = ["10", "20", "30", "40"]

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def gz(pickled):
    return gzip.compress(pickled)


def export_data(tmp_path, blob, correction=True, data=DATA):
    """Exports the one event with `blob` as "pedestals_calibration" (None: no blob); returns data_ch0."""
    root = tmp_path / "run"
    make_acquisition(root, [[ysk16_event([ysk16_block(0, 0, data)])]], channels=1, windows=2, samples=2)
    if blob is not None:
        (root / "pedestals_calibration").write_bytes(blob)
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [0], out, correction)
    lines = (out / "run (chunk 0).csv").read_text().splitlines()
    if len(lines) == 1:  # the event was dropped
        assert lines == ["acq_num,evt_num"]
        return []
    assert lines[0] == "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0"
    return [line.split(",")[3] for line in lines[1:]]


def tuples(t):
    return tuple(tuple(tuple(w) for w in ch) for ch in t)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize(
    "obj",
    [
        {"data": TABLE},
        {b"data": TABLE},
        {"version": 3, "data": TABLE, "note": "ok"},
        {"meta": {"nested": [None, True, b"\x00\xff", 2**200, -(2**70), {1.5, 2}, frozenset([3])]},
         b"other": ("x", 1e300, bytearray(b"z")), "data": TABLE, "tail": set()},
        [TABLE, "ignored", None],
        (TABLE,),
        [tuples(TABLE)],
        {"data": tuples(TABLE)},
        frozenset([tuples(TABLE)]),
        {"data": [[(1.5, 2.5), [3.25, 4]]]},
        # Several frames, and a large object written outside them.
        {"pad": list(range(-40000, 40000, 3)), "blob": b"x" * 300_000, "data": TABLE},
        # Values first written under a skipped key, then referred to again from the table.
        {"window": TABLE[0][1], "data": [[TABLE[0][0], TABLE[0][1]]]},
        {"backup": TABLE, "data": TABLE},
        {"meta": {"tables": [TABLE]}, "data": TABLE},
        {"windows": set(map(tuple, TABLE[0])), "data": [sorted(set(map(tuple, TABLE[0])))]},
        [TABLE, TABLE[0]],
    ],
    ids=["dict", "bytes-key", "extra-keys", "skipped-values", "list", "tuple", "tuple-table", "dict-tuples",
         "frozenset", "mixed", "large", "shared-window", "shared-table", "shared-deep", "shared-tuples",
         "shared-in-list"],
)
def test_blob_in_every_protocol_is_applied(tmp_path, obj, protocol):
    assert export_data(tmp_path, gz(pickle.dumps(obj, protocol=protocol))) == CORRECTED


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_sets_are_read_in_stored_order(tmp_path, protocol):
    window = {1.5, 2.75}
    first, second = list(window)  # the order the pickler writes them in
    blob = gz(pickle.dumps({"data": [[window, frozenset([3.25])]]}, protocol=protocol))
    # The second window's pedestals hold one sample only: the correction of its second value fails.
    assert export_data(tmp_path, blob, data=[10, 20, 30, 40]) == []
    blob = gz(pickle.dumps({"data": [[window, {3.25, 4.0}]]}, protocol=protocol))
    third, fourth = list({3.25, 4.0})
    assert export_data(tmp_path, blob) == [f"{10 - first:g}", f"{20 - second:g}", f"{30 - third:g}", f"{40 - fourth:g}"]


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_shared_and_integer_values(tmp_path, protocol):
    # The same window list twice (written once, then fetched from the memo); integers become floats.
    window = [1, -2]
    blob = gz(pickle.dumps({"data": [[window, window]]}, protocol=protocol))
    assert export_data(tmp_path, blob) == ["9", "22", "29", "42"]


@pytest.mark.parametrize(
    "value, expected",
    [
        (2**63 - 1, "-9223372000000000000"),
        (-(2**63), "9223372000000000000"),
        # Rounded once to the nearest float: through a double it would come out as 2**60.
        (2**60 + 2**36 + 1, "-1152921600000000000"),
        (2**60, "-1152921500000000000"),
        (16777217, "-16777216"),
        (0.1, "-0.1"),
        (1e300, "-inf"),
        (-1e300, "inf"),
    ],
)
def test_number_conversion(tmp_path, value, expected):
    blob = gz(pickle.dumps({"data": [[[value, 0], [0, 0]]]}))
    assert export_data(tmp_path, blob, data=[0, 0, 0, 0])[0] == expected


def truncated(b):
    return b[: len(b) // 2]


def bad_crc(b):
    return b[:-8] + bytes([b[-8] ^ 1]) + b[-7:]


def bad_length(b):
    return b[:-4] + struct.pack("<I", (struct.unpack("<I", b[-4:])[0] + 1) & 0xFFFFFFFF)


GOOD = pickle.dumps({"data": TABLE}, protocol=4)


@pytest.mark.parametrize(
    "blob",
    [
        gz(pickle.dumps(None)),
        gz(pickle.dumps([])),
        gz(pickle.dumps(())),
        gz(pickle.dumps({})),
        gz(pickle.dumps({"pedestals": TABLE})),
        gz(pickle.dumps({"data": TABLE, b"data": TABLE})),
        gz(pickle.dumps({1: 0, "data": TABLE})),
        gz(pickle.dumps({(b"data",): 0, "data": TABLE})),
        gz(pickle.dumps(42)),
        gz(pickle.dumps("data")),
        gz(pickle.dumps(TABLE[0][0])),
        gz(pickle.dumps({"data": [[[True, 2.5], [3.25, 4]]]})),
        gz(pickle.dumps({"data": [[[2**63, 2.5], [3.25, 4]]]})),
        gz(pickle.dumps({"data": [[[-(2**63) - 1, 2.5], [3.25, 4]]]})),
        gz(pickle.dumps({"data": [[[None, 2.5], [3.25, 4]]]})),
        gz(pickle.dumps({"data": [[["1.5", 2.5], [3.25, 4]]]})),
        gz(pickle.dumps({"data": [[[b"1", 2.5], [3.25, 4]]]})),
        gz(pickle.dumps({"data": [[{"a": 1}, [3.25, 4]]]})),
        gz(pickle.dumps({"data": [[1.5, 2.5]]})),
        gz(pickle.dumps({"data": 1.5})),
        gz(pickle.dumps({"data": collections.OrderedDict(a=1)})),
        gz(GOOD + b"\x00"),
        gz(GOOD[:-1]),
        GOOD,
        truncated(gz(GOOD)),
        bad_crc(gz(GOOD)),
        bad_length(gz(GOOD)),
        gz(GOOD) + b"\x00",
        gz(GOOD[:10]) + gz(GOOD[10:]),
        b"",
        b"\x1f\x8b",
        gz(b""),
        gz(b"\x80\x06" + GOOD[2:]),
    ],
    ids=["none", "empty-list", "empty-tuple", "no-data", "other-key", "two-data-keys", "int-key", "tuple-key",
         "int", "str", "flat-list", "bool", "int-2**63", "int-below-int64", "none-number", "str-number",
         "bytes-number", "dict-window", "two-levels", "number-table", "ordered-dict", "byte-after-pickle",
         "no-stop", "not-gzip", "truncated-gzip", "bad-crc", "bad-length", "byte-after-member",
         "two-members", "empty-file", "gzip-magic-only", "empty-pickle", "protocol-6"],
)
def test_unusable_blob_means_export_without_correction(tmp_path, blob):
    assert export_data(tmp_path, blob) == RAW


def test_no_blob_or_no_correction_asked(tmp_path):
    assert export_data(tmp_path, None) == RAW
    assert export_data(tmp_path, gz(GOOD), correction=False) == RAW


def test_unreadable_blob_means_export_without_correction(tmp_path):
    root = tmp_path / "run"
    make_acquisition(root, [[ysk16_event([ysk16_block(0, 0, DATA)])]], channels=1, windows=2, samples=2)
    (root / "pedestals_calibration").mkdir()
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [0], tmp_path, True)
    assert (tmp_path / "run (chunk 0).csv").read_text().splitlines()[1].split(",")[3] == "10"


def refused_pickles(marker):
    """Pickles that would run code, import or build objects if a reader followed them."""
    cmd = f"touch {marker}".encode()
    calls = [
        b"cos\nsystem\n(V" + cmd + b"\ntR.",
        b"\x80\x04\x8c\x02os\x8c\x06system\x93\x8c" + bytes([len(cmd)]) + cmd + b"\x85R.",
        b"cbuiltins\neval\n(V__import__('os').system('" + cmd + b"')\ntR.",
        b"\x80\x02cposix\nsystem\nq\x00X" + struct.pack("<I", len(cmd)) + cmd + b"\x85R.",
    ]
    odd = [
        b"c__builtin__\nset\n(Vabc\ntR.",        # set() of a str: not what a pickler writes
        b"c_codecs\nencode\n(Vabc\nVutf8\ntR.",  # encode with another codec
        b"\x80\x02}q\x00X\x04\x00\x00\x00dataq\x01]q\x02s}b.",  # BUILD
        b"\x80\x02}X\x04\x00\x00\x00data]s\x81.",  # NEWOBJ
        b"\x80\x02}X\x04\x00\x00\x00data]sP0\n.",  # PERSID
        b"\x80\x05}X\x04\x00\x00\x00data]s\x97.",  # NEXT_BUFFER
    ]
    objects = [pickle.dumps({"data": TABLE, "x": x}, protocol=p)
               for p in (0, 2, 4) for x in (collections.Counter("ab"), complex(1, 2), range(2))]
    return calls + odd + objects


def test_globals_and_calls_are_refused(tmp_path):
    marker = tmp_path / "ran"
    for i, p in enumerate(refused_pickles(marker)):
        sub = tmp_path / str(i)
        sub.mkdir()
        assert export_data(sub, gz(p)) == RAW, p
    assert not marker.exists()


def stream(body, proto=4):
    return bytes([0x80, proto]) + body


HUGE_LENGTHS = [
    stream(b"\x8d" + struct.pack("<Q", 2**62) + b"data" + b"."),       # BINUNICODE8
    stream(b"\x8e" + struct.pack("<Q", 2**63) + b"xx" + b"."),         # BINBYTES8
    stream(b"\x96" + struct.pack("<Q", 2**64 - 1) + b"."),             # BYTEARRAY8
    stream(b"X" + struct.pack("<I", 2**32 - 1) + b"abc."),             # BINUNICODE
    stream(b"\x8b" + struct.pack("<I", 2**31 - 1) + b"\x01" * 100),    # LONG4
    stream(b"\x8b" + struct.pack("<I", 2**31) + b"."),                 # negative LONG4 length
    stream(b"\x95" + struct.pack("<Q", 2**63) + pickle.dumps({"data": TABLE}, 4)[11:]),  # FRAME
    stream(b"]r\xff\xff\xff\xff\x94j\xff\xff\xff\xfe."),               # memo index never stored
    stream(b"]" * 1_000_000 + b"a" * 999_999 + b"."),                 # deep nesting
    stream(b"(" * 1_000_000 + b"]."),                                  # many marks left open
    stream(b"V" + b"a" * 100_000),                                     # a line without its end
]


@pytest.mark.parametrize("body", HUGE_LENGTHS, ids=["unicode8", "bytes8", "bytearray8", "unicode", "long4",
                                                    "long4-negative", "frame", "memo", "nesting", "marks",
                                                    "open-line"])
def test_hostile_lengths_and_nesting(tmp_path, body):
    assert export_data(tmp_path, gz(body)) == RAW


def bomb(repeats):
    """A gzip member whose DEFLATE data repeats a block of 16 MiB of '(' (its trailer does not match)."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    head = c.compress(b"\x80\x04") + c.flush(zlib.Z_FULL_FLUSH)
    piece = c.compress(b"(" * (1 << 24)) + c.flush(zlib.Z_FULL_FLUSH)
    tail = c.flush(zlib.Z_FINISH)
    return b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff" + head + piece * repeats + tail + b"\x00" * 8


UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def spread_memo_keys(n):
    """A pickle storing one list under n memo keys 1024 apart."""
    keys = np.empty((n, 5), np.uint8)
    keys[:, 0] = ord("r")
    keys[:, 1:] = (np.arange(n, dtype="<u4") * 1024).view(np.uint8).reshape(n, 4)
    return gzip.compress(b"\x80\x04]" + keys.tobytes() + b".", compresslevel=1)


@pytest.mark.skipif(UNDER_ASAN, reason="address space limit clashes with ASan")
@pytest.mark.parametrize(
    "blob",
    [
        # 256 MiB of MARK opcodes, read to the end: 8 bytes per mark would need 2 GiB.
        lambda: bomb(16),
        # 2,000,000 memo keys: a table indexed by key would need 16 GiB.
        lambda: spread_memo_keys(2_000_000),
    ],
    ids=["marks", "memo-keys"],
)
def test_decompression_bomb_stays_bounded(tmp_path, blob):
    # The child may use 1 GiB of address space.
    root = tmp_path / "run"
    make_acquisition(root, [[ysk16_event([ysk16_block(0, 0, DATA)])]], channels=1, windows=2, samples=2)
    (root / "pedestals_calibration").write_bytes(blob())
    script = textwrap.dedent(f"""
        import resource, vuzevuz
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        vuzevuz.export_csv(vuzevuz.Acquisition({str(root)!r}), [0], {str(tmp_path)!r}, True)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    subprocess.run([sys.executable, "-c", script], check=True, env=env, timeout=120)
    lines = (tmp_path / "run (chunk 0).csv").read_text().splitlines()
    assert [line.split(",")[3] for line in lines[1:]] == RAW


# Old protocols spelled by hand: Python 2 strings, escapes and text forms of numbers.
@pytest.mark.parametrize(
    "body",
    [
        b"(dS'data'\n(l(l(lF1.5\naF2.5\naa(lF3.25\naL4L\naaas.",
        b"(dS\"d\\x61t\\141\"\n(l(l(lF1.5\naF2.5\naa(lF3.25\naF4\naaas.",
        b"(dVd\\u0061ta\n(l(l(lF1.5\naF2.5\naa(lF3.25\naF4.0\naaas.",
        b"\x80\x02}U\x04data]](]q\x00(G?\xf8\x00\x00\x00\x00\x00\x00G@\x04\x00\x00\x00\x00\x00\x00e]"
        b"(G@\n\x00\x00\x00\x00\x00\x00K\x04eeas.",
        b"\x80\x02}T\x04\x00\x00\x00data]](]q\x00(G?\xf8\x00\x00\x00\x00\x00\x00G@\x04\x00\x00\x00\x00\x00\x00e]"
        b"(G@\n\x00\x00\x00\x00\x00\x00\x8a\x01\x04eeas.",
        # Number texts far longer than their digits need.
        b"(dVdata\n(l(l(lF1.5" + b"0" * 5000 + b"\naF0.000" + b"0" * 3000 + b"25e3004\naa(lF  +3.2500 \naL"
        + b"0" * 4000 + b"4L\naaas.",
        b"(dVdata\n(l(l(lF15" + b"0" * 2999 + b"e-3000\naF2.4999999999999999" + b"9" * 1000
        + b"\naa(lF3.25\naI  +0_0004 \naaas.",
        # Keys and skipped texts of any length, in every text form.
        b"(dS'" + b"\\x64" * 3000 + b"'\nI1\nsV" + b"\\u00e4" * 3000 + b"\\\\" * 3000 + b"\nI2\n"
        b"sS'data'\n(l(l(lF1.5\naF2.5\naa(lF3.25\naF4\naaas.",
    ],
    ids=["string", "string-escapes", "unicode-escape", "short-binstring", "binstring", "long-numbers",
         "rounding-digits", "long-texts"],
)
def test_hand_written_old_forms(tmp_path, body):
    assert export_data(tmp_path, gz(body)) == CORRECTED


@pytest.mark.parametrize(
    "body",
    [
        b"(dS'd\\xe4ta'\n(l(l(lF1.5\naF2.5\naa(lI3\naI4\naaas.",   # non-ASCII Python 2 string
        b"(dS'data\n(l(l(lF1.5\naF2.5\naa(lI3\naI4\naaas.",        # unquoted
        b"(dVdata\n(l(l(lF1.5x\naF2.5\naa(lI3\naI4\naaas.",        # not a float
        b"(dVdata\n(l(l(lI1.5\naF2.5\naa(lI3\naI4\naaas.",         # not an int
        b"(dVdata\n(l(l(lI01\naF2.5\naa(lI3\naI4\naaas.",          # True, protocol 0 style
        b"\x80\x04\x8c\x04d\xffta",                                # invalid UTF-8
    ],
    ids=["non-ascii-string", "unquoted-string", "bad-float", "bad-int", "bool-as-I01", "bad-utf8"],
)
def test_hand_written_faults(tmp_path, body):
    assert export_data(tmp_path, gz(body)) == RAW


def test_correction_failure_drops_the_event(tmp_path):
    # Channel 1 of event 0 has no pedestals; event 1 holds channel 0 only and is corrected.
    root = tmp_path / "run"
    both = ysk16_event([ysk16_block(0, 0, [5, 6]), ysk16_block(1, 0, [7, 8])])
    only0 = ysk16_event([ysk16_block(0, 0, [5, 6]), ysk16_block(0, 0, [9, 9])])
    make_acquisition(root, [[both, only0]], channels=2, windows=2, samples=1)
    (root / "pedestals_calibration").write_bytes(gz(pickle.dumps({"data": [[[1], [2]]]})))
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [0, 1], tmp_path, True)
    assert (tmp_path / "run (chunk 0).csv").read_text() == (
        "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n"
        "0,0,0,4,0\n0,0,1,4,1\n0,0,0,8,0\n0,0,1,7,1\n"
    )


def test_labels_select_the_pedestals(tmp_path):
    # windows 4 from label 2: labels 2, 3, 0, 1; each window takes the pedestals of its label.
    root = tmp_path / "run"
    make_acquisition(root, [[ysk16_event([ysk16_block(0, 2, [100] * 8)])]], channels=1, windows=4, samples=2)
    table = [[[w * 10 + s for s in range(2)] for w in range(4)]]
    (root / "pedestals_calibration").write_bytes(gz(pickle.dumps({"data": table})))
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [0], tmp_path, True)
    rows = [r.split(",") for r in (tmp_path / "run (chunk 0).csv").read_text().splitlines()[1:]]
    assert [(r[2], r[3]) for r in rows] == [("2", "80"), ("2", "79"), ("3", "70"), ("3", "69"),
                                           ("0", "100"), ("0", "99"), ("1", "90"), ("1", "89")]


# Blobs far larger than the test's memory: each distinct piece of the content is compressed once
# and its compressed bytes are repeated.
def gzip_pieces(path, pieces):
    """Writes one gzip member whose content is `pieces` (bytes objects) in order."""
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    compressed = {}  # id of a piece: (the piece, its DEFLATE blocks)
    crc = size = 0
    with open(path, "wb") as f:
        f.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff")
        for p in pieces:
            if id(p) not in compressed:
                # A full flush makes the blocks independent of what came before.
                compressed[id(p)] = (p, c.compress(p) + c.flush(zlib.Z_FULL_FLUSH))
            f.write(compressed[id(p)][1])
            crc = zlib.crc32(p, crc)
            size += len(p)
        f.write(c.flush(zlib.Z_FINISH))
        f.write(struct.pack("<II", crc, size & 0xFFFFFFFF))


def pickled_windows(values):
    """Protocol 2+ lists of BINFLOATs, one per row of the 2-D array `values`, back to back."""
    n, s = values.shape
    out = np.empty((n, 3 + 9 * s), np.uint8)
    out[:, :2] = np.frombuffer(b"](", np.uint8)
    cells = out[:, 2:-1].reshape(n, s, 9)
    cells[:, :, 0] = ord("G")
    cells[:, :, 1:] = values.astype(">f8").view(np.uint8).reshape(n, s, 8)
    out[:, -1] = ord("e")
    return out.tobytes()


# 2**25 numbers: 128 channels of 4096 windows of 64 samples. Window 0 of channel ch holds
# 10000 + ch + s / 64; window w > 0 holds w % 48 + s / 64, from one list per residue that channel 0
# writes and every later use fetches from the memo, as Python's pickler writes shared lists.
BIG = 128, 4096, 64


def big_table_blob(path):
    channels, windows, samples = BIG
    frac = np.arange(samples) / samples

    def window(first):
        return pickled_windows((first + frac)[None, :])

    shared = b"".join(window(w % 48) + b"q" + bytes([w % 48]) for w in range(1, 49))
    fetched = b"".join(b"h" + bytes([w % 48]) for w in range(49, windows))
    pieces = [b"\x80\x04}(\x8c\x04data](", b"](" + window(10000) + shared + fetched + b"e"]
    refs = b"".join(b"h" + bytes([w % 48]) for w in range(1, windows)) + b"e"
    for ch in range(1, channels):
        pieces += [b"](" + window(10000 + ch), refs]
    gzip_pieces(path, pieces + [b"eu."])


def export_measured(root, out):
    """export_csv of event 0 with correction, in a child process: how far the child's resident
    memory rose above what it held before the call (bytes), and the seconds the call took."""
    script = textwrap.dedent(f"""
        import re, time, vuzevuz
        def status(key):
            with open("/proc/self/status") as f:
                return int(re.search(key + r":\\s+(\\d+)", f.read()).group(1)) * 1024
        acq = vuzevuz.Acquisition({str(root)!r})
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # restarts the peak from the memory held now
        before = status("VmRSS")
        t = time.perf_counter()
        vuzevuz.export_csv(acq, [0], {str(out)!r}, True)
        print(time.perf_counter() - t, status("VmHWM") - before)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", script], check=True, env=env, capture_output=True, text=True,
                         timeout=600)
    secs, grown = run.stdout.split()
    return int(grown), float(secs)


def test_large_table_of_2_25_numbers(tmp_path):
    channels, windows, samples = BIG
    root = tmp_path / "run"
    # One block per channel, every block the whole ring of windows from label 5, one sample per window:
    # value k of a channel lies in window label (5 + k) % 4096 and takes its pedestal of sample 0.
    data = np.arange(windows) % 1024
    words = np.concatenate([np.concatenate([[ch << 8 | 5], ~data & 0xFFFF, [0]]) for ch in range(channels)])
    event = b"\0" + words.astype("<u2").tobytes() + b"\0\0"
    make_acquisition(root, [[event]], channels=channels, windows=windows, samples=1)
    big_table_blob(root / "pedestals_calibration")
    out = tmp_path / "out"
    out.mkdir()
    export_measured(root, out)

    cells = np.loadtxt(out / "run (chunk 0).csv", delimiter=",", skiprows=1)
    labels = (5 + np.arange(windows)) % windows
    assert cells.shape == (windows, 2 + 3 * channels)
    for ch in range(channels):
        pedestal = np.where(labels == 0, 10000 + ch, labels % 48)
        assert (cells[:, 2 + 3 * ch] == labels).all()
        assert (cells[:, 3 + 3 * ch] == data - pedestal).all(), ch


def skipped_pieces(kind, n=300_000_000):
    """The pieces of {"junk": <value of `kind` of at least n bytes>, "data": TABLE} in protocol 4."""
    table = pickle.dumps(TABLE, protocol=2)[2:-1]
    head, tail = b"\x80\x04}(\x8c\x04junk", b"\x8c\x04data" + table + b"u."
    if kind == "bytes":
        piece = bytes(range(256)) * 4096
        return [head + b"\x8e" + struct.pack("<Q", n)] + [piece] * (n // len(piece)) + [piece[: n % len(piece)], tail]
    if kind == "str":
        # Characters of 1 to 4 bytes among plain ones; inflate hands them over in pieces that cut
        # them anywhere.
        piece = ("aä€𝄞" + "x" * 54).encode() * 16384
        count = -(-n // len(piece))
        return [head + b"\x8d" + struct.pack("<Q", count * len(piece))] + [piece] * count + [tail]
    if kind == "unicode-line":
        piece = (b"a\\u20ac\\\\u0041\\U0001d11e\\\\\\u00e4" + b"x" * 96) * 8192
        return [head + b"V"] + [piece] * -(-n // len(piece)) + [b"\n", tail]
    if kind == "numbers":
        piece = b"(" + (b"G" + struct.pack(">d", 0.5)) * 1000 + b"e"
        return [head + b"]"] + [piece] * -(-n // len(piece)) + [tail]
    raise ValueError(kind)


def peak_of_export(tmp_path, pieces):
    """Exports with the blob of `pieces` and checks the correction: how far memory rose meanwhile."""
    root = tmp_path / "run"
    make_acquisition(root, [[ysk16_event([ysk16_block(0, 0, DATA)])]], channels=1, windows=2, samples=2)
    gzip_pieces(root / "pedestals_calibration", pieces)
    grown, _ = export_measured(root, tmp_path)
    lines = (tmp_path / "run (chunk 0).csv").read_text().splitlines()
    assert [line.split(",")[3] for line in lines[1:]] == CORRECTED
    return grown


@pytest.mark.parametrize("kind", ["bytes", "str", "unicode-line"])
def test_large_skipped_value_is_not_kept(tmp_path, kind):
    grown = peak_of_export(tmp_path, skipped_pieces(kind))
    if not UNDER_ASAN:  # ASan keeps freed memory in quarantine
        assert grown < 16 << 20


def test_skipped_list_keeps_no_numbers(tmp_path):
    # 4,000,000 numbers under a skipped key: 16 MB as 32-bit floats.
    grown = peak_of_export(tmp_path, skipped_pieces("numbers", 36_000_000))
    if not UNDER_ASAN:
        assert grown < 8 << 20
