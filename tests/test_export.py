"""export_csv: files, blocks, rows, cell texts, failures and the arguments."""

import collections.abc
import gzip
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import vuzevuz
from acqtools import make_acquisition
from formats import hestrel_packet, hestrel_settings, words_be, ysk16_block, ysk16_event

HEADER = "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch1,data_ch1,time_ch1\n"

# Channel 0 reads windows 0, 1 and channel 1 windows 1, 0 (two samples each).
EVENT = ysk16_event([ysk16_block(0, 0, [1, 2, 3, 4]), ysk16_block(1, 1, [5, 6, 7, 8])])


def rows(n):
    """The rows of EVENT written as event number n: merged window order 0, 1, 0."""
    return (f"0,{n},0,1,0,,,\n0,{n},0,2,1,,,\n0,{n},1,3,2,1,5,0\n"
            f"0,{n},1,4,3,1,6,1\n0,{n},,,,0,7,2\n0,{n},,,,0,8,3\n")


@pytest.fixture
def acq(tmp_path):
    root = tmp_path / "run"
    # Event 1 is one byte short and cannot be parsed.
    make_acquisition(root, [[EVENT, EVENT[:-1], EVENT]], channels=2, windows=2, samples=2)
    return vuzevuz.Acquisition(root)


@pytest.fixture
def out(tmp_path):
    d = tmp_path / "out"
    d.mkdir()
    return d


def files(d):
    return sorted(p.name for p in d.iterdir())


def test_rows_of_one_event(acq, out):
    assert vuzevuz.export_csv(acq, [0], out, False) is None
    assert files(out) == ["run (chunk 0).csv"]
    assert (out / "run (chunk 0).csv").read_bytes() == (HEADER + rows(0)).encode()


@pytest.mark.parametrize("n, sizes", [(1, [1]), (1000, [1000]), (1001, [1000, 1]), (2500, [1000, 1000, 500])])
def test_blocks_of_1000(acq, out, n, sizes):
    vuzevuz.export_csv(acq, [0, 2] * (n // 2) + [0] * (n % 2), out, False)
    assert files(out) == [f"run (chunk {k}).csv" for k in range(len(sizes))]
    for k, size in enumerate(sizes):
        # Event numbers count from 0 again in every file.
        assert (out / f"run (chunk {k}).csv").read_text() == HEADER + "".join(rows(i) for i in range(size))


def test_unreadable_indices_are_left_out(acq, out):
    # 1 does not parse, 7 does not exist; the same index twice is written twice.
    vuzevuz.export_csv(acq, [7, 0, 1, 2, 0], out, False)
    assert (out / "run (chunk 0).csv").read_text() == HEADER + rows(0) + rows(1) + rows(2)


def test_block_without_events_holds_the_header_only(acq, out):
    vuzevuz.export_csv(acq, [1, 99] * 600, out, False)
    assert (out / "run (chunk 0).csv").read_text() == "acq_num,evt_num\n"
    assert (out / "run (chunk 1).csv").read_text() == "acq_num,evt_num\n"


def test_channels_get_columns_for_the_whole_file(tmp_path, out):
    # Event 0 has values on channel 1 only, event 1 on channel 0 only; 11 channels sort by number.
    root = tmp_path / "run"
    one = ysk16_event([ysk16_block(1, 0, [7, 8]), ysk16_block(1, 0, [9, 10])])
    zero = ysk16_event([ysk16_block(0, 0, [1, 2]), ysk16_block(0, 0, [3, 4])])
    eleven = ysk16_event([ysk16_block(c, 0, [c]) for c in reversed(range(11))])
    make_acquisition(root / "a", [[one, zero]], channels=2, windows=2, samples=1)
    make_acquisition(root / "b", [[eleven]], channels=11, windows=1, samples=1)
    vuzevuz.export_csv(vuzevuz.Acquisition(root / "a"), [0, 1], out, False)
    assert (out / "a (chunk 0).csv").read_text() == HEADER + (
        "0,0,,,,0,7,0\n0,0,,,,1,8,1\n0,0,,,,0,9,0\n0,0,,,,1,10,1\n"
        "0,1,0,1,0,,,\n0,1,1,2,1,,,\n0,1,0,3,0,,,\n0,1,1,4,1,,,\n")
    vuzevuz.export_csv(vuzevuz.Acquisition(root / "b"), [0], out, False)
    header, row = (out / "b (chunk 0).csv").read_text().splitlines()
    assert header.split(",")[-6:] == ["windnum_ch9", "data_ch9", "time_ch9", "windnum_ch10", "data_ch10", "time_ch10"]
    assert row == "0,0," + ",".join(f"0,{c},0" for c in range(11))


def test_bad_channel_line_goes_to_standard_output(tmp_path, out, capfd):
    # Two blocks of one window on channel 0 share label 0: four values for two rows.
    root = tmp_path / "run"
    make_acquisition(root, [[ysk16_event([ysk16_block(0, 0, [1, 2]), ysk16_block(0, 0, [3, 4])])]],
                     channels=2, windows=1, samples=2)
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [5, 0, 0], out, False)
    assert capfd.readouterr().out == "Bad channel 0 at Event 0\nBad channel 0 at Event 1\n"
    assert (out / "run (chunk 0).csv").read_text() == (
        "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n0,0,,,\n0,0,,,\n0,1,,,\n0,1,,,\n")


def float32_values():
    rng = np.random.default_rng(5)
    bits = rng.integers(0, 2**32, size=6000, dtype=np.uint64).astype(np.uint32)
    vals = bits.view(np.float32)
    vals = vals[np.isfinite(vals) & (vals != 0)]
    special = np.array([1e20, 1 / 3, 1e-7, 0.1, 16777216, 4294967296, 123456.5, 3.4028235e38, -2.25,
                        np.finfo(np.float32).smallest_subnormal, np.inf, -np.inf, np.nan, 1e-38, 9.999999e-5,
                        65504, 1e10, 1.0000001, 8388608.5, 33554432], dtype=np.float32)
    return np.concatenate([special, vals])[:4096]


def test_cell_texts_are_shortest_positional_digits(tmp_path, out):
    # Raw samples of 0 minus a pedestal of -x give x in the data cells.
    values = float32_values()
    root = tmp_path / "run"
    make_acquisition(root, [[ysk16_event([ysk16_block(0, 0, [0] * 4096)])]], channels=1, windows=64, samples=64)
    table = [[[-float(v) for v in values[w * 64:(w + 1) * 64]] for w in range(64)]]
    with open(root / "pedestals_calibration", "wb") as f:
        f.write(gzip.compress(pickle.dumps({"data": table})))
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [0], out, True)
    cells = [line.split(",")[3] for line in (out / "run (chunk 0).csv").read_text().splitlines()[1:]]
    expected = ["" if np.isnan(v) else np.format_float_positional(v, unique=True, trim="-") for v in values]
    assert cells == expected


def test_existing_file_is_replaced(acq, out):
    (out / "run (chunk 0).csv").write_bytes(b"x" * 100_000)
    vuzevuz.export_csv(acq, [0], out, False)
    assert (out / "run (chunk 0).csv").read_text() == HEADER + rows(0)


def test_empty_index_list_writes_nothing(acq, out):
    assert vuzevuz.export_csv(acq, [], out, False) is None
    assert files(out) == []


def raises_export_error(message):
    class Check:
        def __enter__(self):
            self.ctx = pytest.raises(Exception)
            self.info = self.ctx.__enter__()
            return self.info

        def __exit__(self, *exc):
            handled = self.ctx.__exit__(*exc)
            err = self.info.value
            assert (type(err).__module__, type(err).__name__) == ("acquisition", "ExportError")
            assert err.args == ("Could not export: " + message,)
            return handled

    return Check()


def test_metadata_failure_comes_first(acq, out):
    os.remove(os.path.join(acq.path, "metadata.yml"))
    for indices in ([], [0]):
        with pytest.raises(Exception) as info:
            vuzevuz.export_csv(acq, indices, out, True)
        assert (type(info.value).__module__, type(info.value).__name__) == ("acquisition", "MetadataError")
        assert info.value.args == ("Could not process metadata: invalid metadata format",)
    assert files(out) == []


def test_unsupported_model(tmp_path, out):
    root = tmp_path / "run"
    make_acquisition(root, [[EVENT]], model="YSK16", channels=2, windows=2, samples=2)
    with raises_export_error("error occurred while parsing"):
        vuzevuz.export_csv(vuzevuz.Acquisition(root), [0], out, False)
    assert files(out) == []


def test_where_the_file_cannot_be_created(acq, tmp_path, out):
    with raises_export_error("invalid path"):
        vuzevuz.export_csv(acq, [0], tmp_path / "missing", False)
    (out / "run (chunk 0).csv").mkdir()
    with raises_export_error("unknown"):
        vuzevuz.export_csv(acq, [0], out, False)
    with raises_export_error("unknown"):
        vuzevuz.export_csv(acq, [0], tmp_path / "run" / "metadata.yml", False)


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")
def test_directory_without_write_permission(acq, out):
    out.chmod(0o500)
    try:
        with raises_export_error("file access was denied"):
            vuzevuz.export_csv(acq, [0], out, False)
    finally:
        out.chmod(0o700)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failure_keeps_earlier_blocks(acq, out):
    (out / "run (chunk 2).csv").symlink_to("/dev/full")
    with raises_export_error("error occurred while exporting as csv"):
        vuzevuz.export_csv(acq, [0] * 3500, out, False)
    assert files(out) == ["run (chunk 0).csv", "run (chunk 1).csv", "run (chunk 2).csv"]
    complete = HEADER + "".join(rows(i) for i in range(1000))
    assert (out / "run (chunk 0).csv").read_text() == complete
    assert (out / "run (chunk 1).csv").read_text() == complete


def test_partial_file_holds_what_reached_it(acq, out):
    # Files may grow to 20000 bytes: blocks 0 and 1 (header only) are complete, block 2 is cut.
    script = textwrap.dedent(f"""
        import resource, signal, vuzevuz
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        try:
            vuzevuz.export_csv(vuzevuz.Acquisition({acq.path!r}), [99] * 2000 + [0] * 1000 + [0], {str(out)!r}, False)
        except Exception as e:
            print(type(e).__name__, e)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    res = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert res.stdout == "ExportError Could not export: error occurred while exporting as csv\n"
    assert files(out) == ["run (chunk 0).csv", "run (chunk 1).csv", "run (chunk 2).csv"]
    assert (out / "run (chunk 1).csv").read_text() == "acq_num,evt_num\n"
    partial = (out / "run (chunk 2).csv").read_text()
    assert len(partial) == 20000
    assert (HEADER + "".join(rows(i) for i in range(1000))).startswith(partial)


def test_acquisition_without_a_name(tmp_path, out, monkeypatch):
    root = tmp_path / "run"
    make_acquisition(root, [[EVENT]], channels=2, windows=2, samples=2)
    monkeypatch.chdir(root)
    acq = vuzevuz.Acquisition(".")
    vuzevuz.export_csv(acq, [], out, False)  # no events: the name is never asked for
    with pytest.raises(ValueError) as info:
        vuzevuz.export_csv(acq, [0], out, False)
    assert str(info.value) == "could not get acquisition name"
    assert files(out) == []


def test_acquisition_name_not_utf8(tmp_path, out):
    root = os.path.join(os.fsencode(tmp_path), b"run\xff")
    make_acquisition(os.fsdecode(root), [[EVENT]], channels=2, windows=2, samples=2)
    with pytest.raises(ValueError) as info:
        vuzevuz.export_csv(vuzevuz.Acquisition(os.fsdecode(root)), [0], out, False)
    assert str(info.value) == "invalid acquisition name"
    assert files(out) == []


def test_paths_and_keywords(acq, out, monkeypatch):
    vuzevuz.export_csv(acq=acq, indices=range(1), out_dir=str(out), pedestals_correction=False)
    vuzevuz.export_csv(acq, (2,), pathlib.Path(out) / "", False)
    assert (out / "run (chunk 0).csv").read_text() == HEADER + rows(0)
    monkeypatch.chdir(out)
    vuzevuz.export_csv(acq, [True], "", False)  # True is index 1, which does not parse
    assert (out / "run (chunk 0).csv").read_text() == "acq_num,evt_num\n"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("run", [0], ".", False), TypeError, "argument 'acq': 'str' object cannot be converted to 'Acquisition'"),
        ((None, "0", ".", False), TypeError, "argument 'indices': "),
        ((None, {0}, ".", False), TypeError, "argument 'indices': 'set' object cannot be converted to 'Sequence'"),
        ((None, [0.5], ".", False), TypeError, "argument 'indices': "),
        ((None, [0, -1], ".", False), OverflowError, ""),
        ((None, [2**32], ".", False), OverflowError, "out of range integral type conversion attempted"),
        # a long sequence is converted item by item, not reserved at its length first
        ((None, range(2**32, 2**62), ".", False), OverflowError, "out of range integral type conversion attempted"),
        ((None, range(-1, 2**62), ".", False), OverflowError, "can't convert negative int to unsigned"),
        ((None, [0], b".", False), TypeError, "argument 'out_dir': 'bytes' object cannot be converted to 'PyString'"),
        ((None, [0], ".", 1), TypeError, "argument 'pedestals_correction': 'int' object cannot be converted to 'PyBool'"),
        ((None, [0], "."), TypeError, ""),
    ],
)
def test_argument_refusals(acq, out, monkeypatch, args, exc, message):
    monkeypatch.chdir(out)
    args = tuple(acq if a is None else a for a in args)
    with pytest.raises(exc) as info:
        vuzevuz.export_csv(*args)
    assert type(info.value) is exc
    assert str(info.value).startswith(message)
    assert files(out) == []


class Lengthy(collections.abc.Sequence):
    """Indices 0 and 2 whose length raises `error`."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        return [0, 2][i]


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), MemoryError(), ValueError("no length")])
def test_a_failing_length_of_the_indices_is_raised(acq, out, error):
    """As the interpreter's length hint does, only a TypeError of __len__ is passed over."""
    with pytest.raises(type(error)) as info:
        vuzevuz.export_csv(acq, Lengthy(error), str(out), False)
    assert info.value is error
    assert files(out) == []


def test_indices_without_a_length_are_exported(acq, out):
    vuzevuz.export_csv(acq, Lengthy(TypeError("no length")), str(out), False)
    assert (out / "run (chunk 0).csv").read_text() == HEADER + rows(0) + rows(1)


def test_other_threads_run_while_exporting(tmp_path, out):
    """The export lets go of the interpreter lock: this thread keeps running all along an export
    of a second or more on another one, and the file is whole."""
    root = tmp_path / "run"
    make_acquisition(root, [[EVENT]] * 3000, channels=2, windows=2, samples=2)  # each fetch walks 3000 chunks
    acq = vuzevuz.Acquisition(root)
    t = threading.Thread(target=vuzevuz.export_csv, args=(acq, [2999] * 60, str(out), False))
    started = time.monotonic()
    t.start()
    longest, last = 0.0, time.monotonic()
    while t.is_alive():
        now = time.monotonic()
        longest, last = max(longest, now - last), now
    t.join()
    assert time.monotonic() - started > 0.5  # else this thread had nothing to show
    assert longest < 0.2
    assert (out / "run (chunk 0).csv").read_text() == HEADER + "".join(rows(n) for n in range(60))


def test_hestrel_timing_column(tmp_path, out):
    # Timing values pass through a 32-bit float: 4294967295 prints as 4294967300, 16777217 as 16777216.
    root = tmp_path / "run"
    s = hestrel_settings()
    words = hestrel_packet(s, 0, 0xFFFF, 0xFFFF, 7, [10, 11]) + hestrel_packet(s, 0, 0x100, 1, 8, [12, 13])
    make_acquisition(root, [[words_be(words)]], model="hestrelv2_evalr1", channels=1, windows=64, samples=2,
                     timing_mask="0xFFFF", timing_shift=16)
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [0], out, False)
    assert (out / "run (chunk 0).csv").read_text() == (
        "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,timing_ch0\n"
        "0,0,7,10,0,4294967300\n0,0,7,11,1,4294967300\n0,0,8,12,2,16777216\n0,0,8,13,3,16777216\n")


MODELS = ["tolvanev3", "quimbra_pellam", "quimbra_korvex", "pellamv2", "korvexv3", "korvexv3s", "dravik", "ysk16",
          "sirel96", "hestrelv1_evalr2", "hestrelv2_eval", "hestrelv2_evalr1", "hestrelv2_evalr2"]


@pytest.mark.parametrize("model", MODELS)
def test_every_model_is_exported(tmp_path, out, model):
    # An empty event parses for no family: the file holds the header only.
    root = tmp_path / "run"
    make_acquisition(root, [[b""]], model=model, channels=2, windows=2, samples=2)
    vuzevuz.export_csv(vuzevuz.Acquisition(root), [0], out, True)
    assert (out / "run (chunk 0).csv").read_text() == "acq_num,evt_num\n"


def merged_order(lists):
    """The merged window order, written from its description."""
    work = [list(x) for x in lists if x]
    merged = []
    while any(work):
        live = [w for w in work if w]
        increasing = next((w for w in live if w[0] < w[-1]), None)
        heads = [w[0] for w in live if w[-1] < w[0] and increasing is not None and w[0] not in increasing]
        chosen = min(heads or [w[0] for w in live])
        if not merged or merged[-1] != chosen:
            merged.append(chosen)
        for w in live:
            if w[0] == chosen:
                del w[0]
    return merged


def layout(events, samples):
    """The file and the standard output that the export should make of parsed events."""
    channels = sorted({c for ev in events for c, d in enumerate(ev["data"]) if d})
    lines = ["acq_num,evt_num" + "".join(f",windnum_ch{c},data_ch{c},time_ch{c}" for c in channels)]
    printed = []
    for n, ev in enumerate(events):
        merged = merged_order(ev["window_labels"])
        table = [[0, n] + [None] * (3 * len(channels)) for _ in range(len(merged) * samples)]
        for k, c in enumerate(channels):
            data, labels = ev["data"][c], ev["window_labels"][c]
            if not data:
                continue
            r0 = merged.index(labels[0]) * samples if merged else 0
            if r0 + len(data) > len(table):
                printed.append(f"Bad channel {c} at Event {n}\n")
                continue
            for j, v in enumerate(data):
                table[r0 + j][2 + 3 * k: 5 + 3 * k] = [labels[j // samples], int(v), ev["time"][c][j]]
        lines += [",".join("" if x is None else str(x) for x in row) for row in table]
    return "\n".join(lines) + "\n", "".join(printed)


@pytest.mark.parametrize("seed", range(6))
def test_rows_follow_the_merged_window_order(tmp_path, out, capfd, seed):
    rng = np.random.default_rng(seed)
    channels, windows, samples = int(rng.integers(1, 5)), int(rng.integers(1, 6)), int(rng.integers(1, 4))
    events = []
    for _ in range(12):
        blocks = [ysk16_block(int(rng.integers(channels)), int(rng.integers(windows)),
                              rng.integers(0, 1024, windows * samples).tolist()) for _ in range(channels)]
        events.append(ysk16_event(blocks))
    root = tmp_path / "run"
    make_acquisition(root, [events], channels=channels, windows=windows, samples=samples)
    acq = vuzevuz.Acquisition(root)
    vuzevuz.export_csv(acq, range(12), out, False)
    text, printed = layout([acq[i] for i in range(12)], samples)
    assert (out / "run (chunk 0).csv").read_text() == text
    assert capfd.readouterr().out == printed
