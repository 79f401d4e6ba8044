"""Memory and reference counts stay flat over many calls of every function and method.

Each case runs a call many times after a warm-up (which fills the module's once-made values:
host callables, exception classes, the shared numbers) and then measures what stayed:
Python objects through tracemalloc, the native heap through mallinfo2, the resident size
through /proc/self/statm, and the reference counts of the objects handed in. The bounds are
well below what one leaked object (or native allocation) per call adds up to.

Under the sanitizer build (libasan preloaded) calls are fewer and only the Python-side counts
are checked: the sanitizer's allocator keeps freed memory in quarantine."""

import ctypes
import gc
import os
import pathlib
import sys
import tracemalloc

import pytest

import vuzevuz
from acqtools import make_acquisition, write_blob
from formats import ysk16_block, ysk16_event

with open("/proc/self/maps") as _maps:
    SANITIZED = "libasan" in _maps.read()

# Calls per case: fewer for the constructor, which runs the host's YAML loader each time.
CALLS = 800
HEAVY_CALLS = 200
SCALE = 5 if SANITIZED else 1
WARMUP = 300
RSS_LIMIT = 1 << 20
PAGE = os.sysconf("SC_PAGESIZE")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


def native_heap():
    if _mallinfo2 is None:
        return 0
    m = _mallinfo2()
    return m.uordblks + m.hblkhd


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def call(fn, *args, raises=None, **kwargs):
    """A no-argument callable running fn(*args, **kwargs) and, if given, expecting `raises`."""
    if raises is None:
        return lambda: fn(*args, **kwargs)

    def run():
        try:
            fn(*args, **kwargs)
        except raises:
            return
        raise AssertionError(f"{fn} did not raise {raises}")
    return run


def traced_blocks():
    """Blocks that tracemalloc sees alive, less its own snapshot's."""
    snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(False, tracemalloc.__file__)])
    return len(snapshot.traces)


def growth(run, calls, *measures):
    """What each measure grew by over `calls` calls, as the least of two runs in a row: a leak
    grows in both, a cache or free list the interpreter fills once in at most one."""
    seen = []
    for _ in range(2):
        gc.collect()
        before = [m() for m in measures]
        for _ in range(calls):
            run()
        gc.collect()
        seen.append([m() - b for m, b in zip(measures, before)])
    return [min(a, b) for a, b in zip(*seen)]


def assert_flat(run, watched=(), calls=CALLS, traced=True, warm=None, counted=True):
    """Leaks of one Python object or one native allocation (32 bytes) per call break the bounds
    four times over. `traced`: count under tracemalloc too (slow for the constructor).
    `counted`: check the count of Python objects (see IMPORTS)."""
    if SANITIZED:
        calls //= 5
    # Caches of the module, the host's YAML loader and the interpreter (its free lists too)
    # fill during the first calls (a few hundred for the constructor).
    for _ in range((calls // 2 if warm is None else warm) // (5 if SANITIZED else 1)):
        run()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    rss = resident()
    n = calls // 2
    blocks, heap = growth(run, n, sys.getallocatedblocks, native_heap)
    rss = resident() - rss
    assert [sys.getrefcount(o) for o in watched] == refs, "reference counts grew"
    if SANITIZED:
        return
    assert blocks < n // 4 or not counted, f"{blocks} Python objects kept after {n} calls"
    assert heap < n * 32 // 4, f"{heap} bytes of native heap kept after {n} calls"
    assert rss < RSS_LIMIT, f"resident size grew by {rss} bytes after {calls} calls"
    if not traced:
        return

    # Python objects once more, as tracemalloc sees them (it slows every allocation). Its byte
    # count is not used: containers the interpreter keeps may grow in place without a leak.
    n = calls // 8
    tracemalloc.start()
    try:
        for _ in range(4 * n):
            run()
        traced, = growth(run, n, traced_blocks)
    finally:
        tracemalloc.stop()
    assert traced < n // 4, f"{traced} traced blocks kept after {n} calls"


BAD_EVENT = b"\x01\x02\x03"


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """Acquisitions on disk: a good one (two parsable events, then one that is not, blobs
    present, corrupt and absent), one with refused metadata, and a directory of them."""
    top = tmp_path_factory.mktemp("leaks")
    good_events = [ysk16_event([ysk16_block(0, 0, [5, 6]), ysk16_block(1, 0, [7, 8])]),
                   ysk16_event([ysk16_block(1, 0, [1, 2]), ysk16_block(0, 0, [3, 4])])]
    good = make_acquisition(top / "all" / "good", chunks=[good_events, [BAD_EVENT]], channels=2, samples=2)
    write_blob(good, "pedestals_calibration", {"data": [[[1.5, 2.5]], [[3.5, 4.5]]]})
    write_blob(good, "readout_metadata", {"boards": [1, 2, 3], "name": "x" * 40})
    with open(os.path.join(good, "timing_calibration"), "wb") as f:
        f.write(b"not gzip at all")
    bad_meta = make_acquisition(top / "all" / "bad_meta", metadata="params: [1]\nregisters: {}\n")
    os.makedirs(top / "all" / "not_an_acquisition")
    os.makedirs(top / "out")
    raw = bytearray(131140 + 2)
    raw[3] ^= 0x01   # a correctable word
    raw[45] ^= 0x03  # two flipped bits
    return {"top": str(top), "all": str(top / "all"), "good": good, "bad_meta": bad_meta,
            "missing": str(top / "missing"), "out": str(top / "out"), "acq": vuzevuz.Acquisition(good),
            "raw": bytes(raw)}


def exception_class(name):
    """The module's exception class of that name (reachable only through a raise)."""
    return lambda w: type(_raised(w, name))


def _raised(w, name):
    try:
        if name == "MetadataError":
            vuzevuz.Acquisition(w["bad_meta"])
        elif name == "ExportError":
            vuzevuz.export_csv(w["acq"], [0], w["missing"], False)
        else:
            w["acq"].parsed_event(2)
    except Exception as e:  # noqa: BLE001 - the class is what we want
        assert type(e).__name__ == name
        return e
    raise AssertionError("nothing raised")


def _stale(w):
    """An Acquisition whose metadata file has been made unreadable since it was opened."""
    if "stale" not in w:
        root = make_acquisition(os.path.join(w["top"], "stale"), channels=1, samples=1)
        w["stale"] = vuzevuz.Acquisition(root)
        with open(os.path.join(root, "metadata.yml"), "w") as f:
            f.write("params: [1]\nregisters: {}\n")
    return w["stale"]


def _iterate_all(acq):
    return sum(1 for _ in acq)


def _iter_direct(acq):
    it = type(iter(acq))(acq)
    return list(it)


# Each case: (id, factory(world) -> (callable, watched objects)).
CASES = [
    ("construct", lambda w: (call(vuzevuz.Acquisition, w["good"]), [w["good"]])),
    ("construct_pathlib", lambda w: (lambda p: (call(vuzevuz.Acquisition, p), [p, pathlib.Path]))(
        pathlib.Path(w["good"]))),
    ("construct_keyword", lambda w: (call(vuzevuz.Acquisition, root=w["good"]), [w["good"]])),
    ("construct_missing", lambda w: (call(vuzevuz.Acquisition, w["missing"], raises=FileNotFoundError),
                                     [w["missing"]])),
    ("construct_bad_metadata", lambda w: (call(vuzevuz.Acquisition, w["bad_meta"],
                                               raises=exception_class("MetadataError")(w)), [w["bad_meta"]])),
    ("construct_type_error", lambda w: (lambda b: (call(vuzevuz.Acquisition, b, raises=TypeError), [b]))(
        b"bytes" * 3)),
    ("construct_no_argument", lambda w: (call(vuzevuz.Acquisition, raises=TypeError), [])),
    ("construct_unknown_keyword", lambda w: (call(vuzevuz.Acquisition, path=w["good"], raises=TypeError), [])),
    *[(f"getter_{name}", (lambda n: lambda w: (call(getattr, w["acq"], n), [w["acq"]]))(name))
      for name in ("is_valid", "path", "name", "chunk_count", "metadata", "params", "readout_metadata",
                   "pedestals_calibration", "adc_to_mv_calibration")],
    ("getter_corrupt_blob", lambda w: (call(getattr, w["acq"], "timing_calibration", raises=OSError), [w["acq"]])),
    ("raw_event", lambda w: (call(w["acq"].raw_event, 1), [w["acq"]])),
    ("raw_event_keyword", lambda w: (call(w["acq"].raw_event, index=0), [w["acq"]])),
    ("raw_event_out_of_bounds", lambda w: (call(w["acq"].raw_event, 3, raises=IndexError), [w["acq"]])),
    ("raw_event_negative", lambda w: (call(w["acq"].raw_event, -1, raises=OverflowError), [w["acq"]])),
    ("raw_event_type_error", lambda w: (call(w["acq"].raw_event, "0", raises=TypeError), [w["acq"]])),
    ("raw_event_surplus", lambda w: (call(w["acq"].raw_event, 0, 1, raises=TypeError), [w["acq"]])),
    ("parsed_event", lambda w: (call(w["acq"].parsed_event, 0), [w["acq"]])),
    ("parsed_event_parse_error", lambda w: (call(w["acq"].parsed_event, 2,
                                                 raises=exception_class("ParsingError")(w)), [w["acq"]])),
    ("parsed_event_out_of_bounds", lambda w: (call(w["acq"].parsed_event, 9, raises=IndexError), [w["acq"]])),
    ("len", lambda w: (call(len, w["acq"]), [w["acq"]])),
    ("index", lambda w: (call(w["acq"].__getitem__, 1), [w["acq"]])),
    ("index_negative", lambda w: (call(w["acq"].__getitem__, -1, raises=IndexError), [w["acq"]])),
    ("index_type_error", lambda w: (call(w["acq"].__getitem__, "1", raises=TypeError), [w["acq"]])),
    ("index_huge", lambda w: (call(w["acq"].__getitem__, 1 << 70, raises=TypeError), [w["acq"]])),
    ("slice", lambda w: (call(w["acq"].__getitem__, slice(0, 2)), [w["acq"]])),
    ("slice_step", lambda w: (call(w["acq"].__getitem__, slice(None, 2, 2)), [w["acq"]])),
    ("slice_empty", lambda w: (call(w["acq"].__getitem__, slice(5, 1)), [w["acq"]])),
    ("slice_negative_step", lambda w: (call(w["acq"].__getitem__, slice(None, None, -1), raises=IndexError),
                                       [w["acq"]])),
    ("slice_through_bad_event", lambda w: (call(w["acq"].__getitem__, slice(0, 3),
                                                raises=exception_class("ParsingError")(w)), [w["acq"]])),
    ("iterate", lambda w: (call(_iterate_all, w["acq"]), [w["acq"]])),
    ("iter_events_direct", lambda w: (call(_iter_direct, w["acq"]), [w["acq"]])),
    ("iter_events_type_error", lambda w: (call(type(iter(w["acq"])), "x", raises=TypeError), [])),
    ("list_acquisitions", lambda w: (call(vuzevuz.list_acquisitions, w["all"]), [w["all"]])),
    ("list_acquisitions_missing", lambda w: (call(vuzevuz.list_acquisitions, w["missing"]), [w["missing"]])),
    ("list_acquisitions_type_error", lambda w: (call(vuzevuz.list_acquisitions, 3, raises=TypeError), [])),
    ("is_acquisition", lambda w: (call(vuzevuz.is_acquisition, w["good"]), [w["good"]])),
    ("is_acquisition_pathlib", lambda w: (lambda p: (call(vuzevuz.is_acquisition, p), [p, pathlib.Path]))(
        pathlib.Path(w["good"]))),
    ("is_acquisition_not", lambda w: (call(vuzevuz.is_acquisition, path=w["top"]), [w["top"]])),
    ("is_acquisition_type_error", lambda w: (call(vuzevuz.is_acquisition, None, raises=TypeError), [])),
    ("export_csv", lambda w: (lambda ix: (call(vuzevuz.export_csv, w["acq"], ix, w["out"], False),
                                          [w["acq"], ix, w["out"]]))([0, 1, 2, 9])),
    ("export_csv_corrected", lambda w: (lambda ix: (call(vuzevuz.export_csv, w["acq"], ix, w["out"], True),
                                                    [w["acq"], ix, w["out"]]))((1, 0))),
    ("export_csv_missing_dir", lambda w: (call(vuzevuz.export_csv, w["acq"], [0], w["missing"], False,
                                               raises=exception_class("ExportError")(w)), [w["acq"]])),
    ("export_csv_bad_metadata", lambda w: (call(vuzevuz.export_csv, _stale(w), [0], w["out"], False,
                                                raises=exception_class("MetadataError")(w)), [])),
    ("export_csv_indices_str", lambda w: (call(vuzevuz.export_csv, w["acq"], "01", w["out"], False,
                                               raises=TypeError), [w["acq"]])),
    ("export_csv_negative_index", lambda w: (call(vuzevuz.export_csv, w["acq"], [0, -1], w["out"], False,
                                                  raises=OverflowError), [w["acq"]])),
    ("export_csv_not_bool", lambda w: (call(vuzevuz.export_csv, w["acq"], [0], w["out"], 1, raises=TypeError),
                                       [w["acq"]])),
    ("export_csv_not_acquisition", lambda w: (call(vuzevuz.export_csv, w["good"], [0], w["out"], False,
                                                   raises=TypeError), [w["good"]])),
    ("syndrome", lambda w: (call(vuzevuz.syndrome, 0x1234), [])),
    ("syndrome_overflow", lambda w: (call(vuzevuz.syndrome, 1 << 16, raises=OverflowError), [])),
    ("global_parity", lambda w: (call(vuzevuz.global_parity, data=0x7), [])),
    ("syndrome_to_index", lambda w: (lambda s: (call(vuzevuz.syndrome_to_index, s), [s]))([1, 0, 1, 0])),
    ("syndrome_to_index_none", lambda w: (call(vuzevuz.syndrome_to_index, (0, 0, 0, 0)), [])),
    ("syndrome_to_index_length", lambda w: (call(vuzevuz.syndrome_to_index, [1, 0], raises=ValueError), [])),
    ("syndrome_to_index_type_error", lambda w: (call(vuzevuz.syndrome_to_index, 5, raises=TypeError), [])),
    ("ecc_check", lambda w: (call(vuzevuz.ecc_check, w["raw"]), [w["raw"]])),
    ("ecc_check_list", lambda w: (lambda raw: (call(vuzevuz.ecc_check, raw, raises=ValueError), [raw]))(
        list(range(200)))),
    ("ecc_check_too_short", lambda w: (call(vuzevuz.ecc_check, b"\x00", raises=ValueError), [])),
    ("ecc_check_type_error", lambda w: (call(vuzevuz.ecc_check, "text", raises=TypeError), [])),
    ("ecc_correct", lambda w: (call(vuzevuz.ecc_correct, w["raw"]), [w["raw"]])),
    ("ecc_correct_bytearray", lambda w: (lambda raw: (call(vuzevuz.ecc_correct, raw), [raw]))(bytearray(w["raw"]))),
    ("ecc_correct_too_long", lambda w: (lambda raw: (call(vuzevuz.ecc_correct, raw, raises=ValueError), [raw]))(
        bytes(7 * 131140 + 2))),
]


# Cases that run the host's YAML loader on every call.
HEAVY = {"construct", "construct_pathlib", "construct_keyword", "construct_bad_metadata", "list_acquisitions",
         "export_csv", "export_csv_corrected", "export_csv_bad_metadata"}
# A path argument that is not a str imports pathlib on every call; mixed with the other cases,
# the interpreter's import machinery keeps adding a few objects for hundreds of calls (it holds
# no reference of ours), so only reference counts and the native heap are checked there.
IMPORTS = {"construct_pathlib", "construct_type_error", "list_acquisitions_type_error", "is_acquisition_pathlib",
           "is_acquisition_type_error"}


@pytest.mark.parametrize("name, factory", CASES, ids=[c[0] for c in CASES])
def test_flat(world, name, factory):
    run, watched = factory(world)
    counted = name not in IMPORTS
    if name in HEAVY:
        assert_flat(run, watched, HEAVY_CALLS, traced=False, warm=400, counted=counted)
    else:
        assert_flat(run, watched, traced=counted, counted=counted)


def test_shared_numbers_over_20000_parses(tmp_path):
    """Every parse hands out the shared floats and ints once per sample, and every dropped
    dictionary gives them back: 20,000 parses leave their reference counts, and the process's
    memory, where they were. (Values above 256, which the interpreter does not share itself.)"""
    samples = list(range(300))
    root = make_acquisition(tmp_path / "r", chunks=[[ysk16_event([ysk16_block(0, 3, samples)])]], channels=1,
                            samples=len(samples))
    acq = vuzevuz.Acquisition(root)

    def pick(ev):
        return [ev["data"][0][299], ev["data"][0][257], ev["time"][0][299], ev["time"][0][257]]

    shared = pick(acq.parsed_event(0))
    assert shared == [299.0, 257.0, 299, 257]
    assert all(a is b for a, b in zip(shared, pick(acq[0])))
    assert_flat(call(acq.parsed_event, 0), shared, calls=20_000)


def refs_held(get):
    """The reference count of what get() returns while one local name holds it. Every object is
    counted by this same code, so counts compare across objects on any interpreter (whose own
    share of the count differs between versions)."""
    value = get()
    return sys.getrefcount(value)


def test_results_are_released(world):
    """What the module returns is owned by the caller alone: nothing else keeps it."""
    acq = world["acq"]
    alone = refs_held(list)
    for make in (lambda: acq.parsed_event(0), lambda: acq.raw_event(0), lambda: acq[0:2],
                 lambda: vuzevuz.list_acquisitions(world["all"]), lambda: acq.readout_metadata):
        assert refs_held(make) == alone
    ev = acq.parsed_event(1)
    mine = {key: [] for key in ev}
    for key in ("data", "window_labels", "time"):
        assert refs_held(lambda: ev[key]) == refs_held(lambda: mine[key]), key


def test_acquisition_object_freed(world):
    """An Acquisition and its iterator are freed when the last reference goes."""
    acq = vuzevuz.Acquisition(world["good"])
    meta = acq.metadata
    it = iter(acq)
    next(it)
    del acq
    gc.collect()
    mine = {}
    # The iterator keeps its own handle; the metadata object outlives both only through `meta`.
    assert refs_held(lambda: meta) == refs_held(lambda: mine) + 1
    del it
    gc.collect()
    assert refs_held(lambda: meta) == refs_held(lambda: mine)
