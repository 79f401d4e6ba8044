"""The acquisition store seen from Python: directories, chunk files, raw events, blobs."""

import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys

import pytest

import vuzevuz
from acqtools import make_acquisition, write_chunk


@pytest.fixture
def acq_dir(tmp_path):
    return make_acquisition(tmp_path / "run1")


def test_is_acquisition(tmp_path, acq_dir):
    assert vuzevuz.is_acquisition(acq_dir)
    assert vuzevuz.is_acquisition(tmp_path / "run1")  # pathlib.Path
    (tmp_path / "plain").mkdir()
    (tmp_path / "file").write_text("x")
    assert not vuzevuz.is_acquisition(str(tmp_path / "plain"))
    assert not vuzevuz.is_acquisition(str(tmp_path / "file"))
    assert not vuzevuz.is_acquisition(str(tmp_path / "missing"))


def test_is_acquisition_symlinks(tmp_path, acq_dir):
    os.symlink(acq_dir, tmp_path / "link")
    assert vuzevuz.is_acquisition(str(tmp_path / "link"))
    dangling = tmp_path / "dangling"
    dangling.mkdir()
    os.symlink(tmp_path / "nowhere", dangling / "metadata.yml")
    assert not vuzevuz.is_acquisition(str(dangling))
    meta_dir = tmp_path / "metadir"
    meta_dir.mkdir()
    (meta_dir / "metadata.yml").mkdir()
    assert vuzevuz.is_acquisition(str(meta_dir))


def test_list_acquisitions(tmp_path):
    for name in ("a", "b", "c"):
        make_acquisition(tmp_path / name)
    (tmp_path / "notacq").mkdir()
    (tmp_path / "file.txt").write_text("x")
    make_acquisition(tmp_path / "notacq" / "deep")
    found = vuzevuz.list_acquisitions(str(tmp_path))
    assert sorted(a.name for a in found) == ["a", "b", "c"]
    assert all(isinstance(a, vuzevuz.Acquisition) for a in found)
    # the listing order is the directory's
    assert [a.name for a in found] == [n for n in os.listdir(tmp_path) if n in ("a", "b", "c")]


def test_list_acquisitions_relative_roots(tmp_path, monkeypatch):
    make_acquisition(tmp_path / "runs" / "r")
    monkeypatch.chdir(tmp_path)
    assert [a.path for a in vuzevuz.list_acquisitions("runs")] == ["runs/r"]


@pytest.mark.parametrize("where", ["missing", "file"])
def test_list_acquisitions_of_non_directory(tmp_path, where):
    (tmp_path / "file").write_text("x")
    assert vuzevuz.list_acquisitions(str(tmp_path / where)) == []


def _outcome(f, *args):
    try:
        return f(*args)
    except Exception as exc:
        return type(exc).__module__, type(exc).__name__, str(exc)


# Every function and method that takes a path: the call, given the acquisition "run1" in `parent`
# and a function that turns a path text into the argument, and what it gives for a path that
# names no file. Each path names an existing directory when cut at its NUL byte.
PATH_TAKERS = {
    "is_acquisition": (lambda parent, arg: vuzevuz.is_acquisition(arg(parent + "/run1")), False),
    "Acquisition": (lambda parent, arg: _outcome(vuzevuz.Acquisition, arg(parent + "/run1")),
                    ("builtins", "FileNotFoundError", "Invalid path")),
    "list_acquisitions": (lambda parent, arg: vuzevuz.list_acquisitions(arg(parent)), []),
    "export_csv": (lambda parent, arg: _outcome(vuzevuz.export_csv, vuzevuz.Acquisition(parent + "/run1"), [0],
                                                arg(parent), False),
                   ("acquisition", "ExportError", "Could not export: unknown")),
}


@pytest.mark.parametrize("taker", sorted(PATH_TAKERS))
@pytest.mark.parametrize("tail", ["\0", "\0/elsewhere"])
@pytest.mark.parametrize("kind", [str, pathlib.Path])
def test_a_path_with_a_nul_byte_names_no_file(tmp_path, taker, tail, kind):
    make_acquisition(tmp_path / "run1", [[b"\0" * 4]], channels=1, windows=1, samples=1)
    call, expected = PATH_TAKERS[taker]
    parent = str(tmp_path)
    assert call(parent, kind) != expected  # without the NUL byte the path is usable
    before = sorted(os.listdir(tmp_path))
    assert call(parent, lambda path: kind(path + tail)) == expected
    assert sorted(os.listdir(tmp_path)) == before


def test_list_acquisitions_skips_unconstructible(tmp_path):
    make_acquisition(tmp_path / "good")
    make_acquisition(tmp_path / "badyaml", metadata="params: [unclosed\n")
    make_acquisition(tmp_path / "badmeta", metadata="registers: {}\n")
    assert [a.name for a in vuzevuz.list_acquisitions(tmp_path)] == ["good"]


def test_open_without_chunks(acq_dir):
    acq = vuzevuz.Acquisition(acq_dir)
    assert acq.chunk_count == 0
    assert len(acq) == 0
    assert not acq
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.raw_event(0)


def test_events_across_chunks(tmp_path):
    root = make_acquisition(tmp_path / "r", chunks=[[b"a", b"bb", b"ccc"], [b"dddd", b""]])
    acq = vuzevuz.Acquisition(root)
    assert acq.chunk_count == 2
    assert len(acq) == 5
    assert [acq.raw_event(i)["rawdata"] for i in range(5)] == [b"a", b"bb", b"ccc", b"dddd", b""]
    ev = acq.raw_event(3)
    assert list(ev) == ["rawdata", "pkg_num", "event_num"]
    assert ev == {"rawdata": b"dddd", "pkg_num": 3, "event_num": 3}
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.raw_event(5)


def test_missing_chunk_ends_the_acquisition(tmp_path):
    root = make_acquisition(tmp_path / "r", chunks=[[b"a"], [b"b"], [b"c"]])
    os.remove(os.path.join(root, "1.idx"))
    acq = vuzevuz.Acquisition(root)
    assert acq.chunk_count == 1
    assert len(acq) == 1
    with pytest.raises(IndexError):
        acq.raw_event(1)


def test_index_file_trailing_bytes_and_empty_chunk(tmp_path):
    root = make_acquisition(tmp_path / "r", chunks=[[], [b"xy", b"z"]])
    with open(os.path.join(root, "1.idx"), "ab") as f:
        f.write(b"\x01\x02\x03\x04")  # 20 bytes: two entries and a partial one
    acq = vuzevuz.Acquisition(root)
    assert len(acq) == 2
    assert acq.raw_event(0)["rawdata"] == b"xy"


@pytest.mark.parametrize("offset,length,expected", [
    (4, 0, b""),              # empty range at the very end
    (2, 2, b"cd"),
    (3, 2, IndexError),       # one byte past the end
    (0xFFFFFFFF, 1, IndexError),  # no wrap-around of offset + length
    (0, 0xFFFFFFFF, IndexError),
])
def test_entry_ranges(tmp_path, offset, length, expected):
    root = make_acquisition(tmp_path / "r")
    with open(os.path.join(root, "0.bin"), "wb") as f:
        f.write(b"abcd")
    with open(os.path.join(root, "0.idx"), "wb") as f:
        f.write(struct.pack("<II", offset, length))
    acq = vuzevuz.Acquisition(root)
    assert len(acq) == 1
    if expected is IndexError:
        with pytest.raises(IndexError, match="^Index out of bounds$"):
            acq.raw_event(0)
    else:
        assert acq.raw_event(0)["rawdata"] == expected


def test_directory_as_index_file(tmp_path):
    root = make_acquisition(tmp_path / "r", chunks=[[b"a"]])
    os.mkdir(os.path.join(root, "1.bin"))
    os.mkdir(os.path.join(root, "1.idx"))
    acq = vuzevuz.Acquisition(root)
    assert acq.chunk_count == 2
    with pytest.raises(FileNotFoundError, match="^Invalid path$"):
        len(acq)
    assert acq.raw_event(0)["rawdata"] == b"a"
    with pytest.raises(FileNotFoundError, match="^Invalid path$"):
        acq.raw_event(1)


def test_directory_as_data_file(tmp_path):
    root = make_acquisition(tmp_path / "r")
    os.mkdir(os.path.join(root, "0.bin"))
    with open(os.path.join(root, "0.idx"), "wb") as f:
        f.write(struct.pack("<II", 0, 1) * 3)
    acq = vuzevuz.Acquisition(root)
    assert len(acq) == 3
    with pytest.raises(FileNotFoundError, match="^Invalid path$") as e:
        acq.raw_event(0)
    assert e.value.errno is None and type(e.value) is FileNotFoundError


def test_chunks_read_anew(tmp_path):
    root = make_acquisition(tmp_path / "r", chunks=[[b"a"]])
    acq = vuzevuz.Acquisition(root)
    assert len(acq) == 1
    write_chunk(root, 1, [b"b", b"c"])
    assert len(acq) == 3
    assert acq.raw_event(2)["rawdata"] == b"c"


@pytest.mark.parametrize("getter,file", [
    ("readout_metadata", "readout_metadata"),
    ("pedestals_calibration", "pedestals_calibration"),
    ("adc_to_mv_calibration", "adc2mv_calibration"),
    ("timing_calibration", "timing_calibration"),
])
def test_blobs(tmp_path, getter, file):
    from acqtools import write_blob
    root = make_acquisition(tmp_path / "r")
    acq = vuzevuz.Acquisition(root)
    assert getattr(acq, getter) is None
    write_blob(root, file, {"data": [[1.5]], "who": file})
    first, second = getattr(acq, getter), getattr(acq, getter)
    assert first == {"data": [[1.5]], "who": file}
    assert first is not second


def test_blob_not_gzip_raises_gzip_error(tmp_path):
    import gzip
    root = make_acquisition(tmp_path / "r")
    (tmp_path / "r" / "timing_calibration").write_bytes(b"not gzip")
    with pytest.raises(gzip.BadGzipFile):
        vuzevuz.Acquisition(root).timing_calibration


def test_blob_unreadable(tmp_path):
    root = make_acquisition(tmp_path / "r")
    os.mkdir(os.path.join(root, "readout_metadata"))
    with pytest.raises(OSError) as e:
        vuzevuz.Acquisition(root).readout_metadata
    assert type(e.value) is OSError
    assert str(e.value) == "Could not read acquisition: Is a directory (os error 21)"
    assert e.value.errno is None


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files without permission")
def test_blob_permission_denied(tmp_path):
    root = make_acquisition(tmp_path / "r")
    blob = tmp_path / "r" / "readout_metadata"
    blob.write_bytes(b"x")
    blob.chmod(0)
    with pytest.raises(OSError, match=r"^Could not read acquisition: Permission denied \(os error 13\)$"):
        vuzevuz.Acquisition(root).readout_metadata


def test_empty_blob_reaches_gzip(tmp_path):
    root = make_acquisition(tmp_path / "r")
    (tmp_path / "r" / "readout_metadata").write_bytes(b"")
    # gzip.decompress(b"") gives b"", and pickle.loads(b"") raises EOFError
    with pytest.raises(EOFError):
        vuzevuz.Acquisition(root).readout_metadata


# Reads one event again and again for `seconds`; prints how often it came back whole and how
# often the index was out of bounds, and any other outcome.
REREAD_SCRIPT = r"""
import json, sys, time
sys.path.insert(0, {tests!r})
import vuzevuz
acq = vuzevuz.Acquisition({root!r})
with open({copy!r}, "rb") as f:
    expected = f.read()[{start}:]
seen = {{}}
end = time.monotonic() + {seconds}
while time.monotonic() < end:
    for read in ("raw", "parsed"):
        try:
            if read == "raw":
                ok = acq.raw_event(1)["rawdata"] == expected
            else:
                ok = acq.parsed_event(1)["data"][0][:3] == [1.0, 2.0, 3.0]
            outcome = "whole" if ok else "wrong bytes"
        except IndexError as e:
            outcome = "IndexError: " + str(e)
        seen[outcome] = seen.get(outcome, 0) + 1
print(json.dumps(seen))
"""

# Shortens "0.bin" and writes it again, over and over, for `seconds`.
REWRITE_SCRIPT = r"""
import os, time
path = {path!r}
with open({copy!r}, "rb") as f:
    data = f.read()
end = time.monotonic() + {seconds}
while time.monotonic() < end:
    with open(path, "r+b") as f:
        f.truncate({cut})
        f.seek(0)
        f.write(data)
"""


def test_chunk_rewritten_under_reads_never_faults(tmp_path):
    """Another process shortening the data file while an event is read: every read gives the
    whole event or, while the file is too short for it, IndexError; the reader never dies."""
    from formats import ysk16_block as block, ysk16_event as event
    first = b"\0" * (1 << 20)
    second = event([block(0, 0, list(range(1, 1 + (1 << 18))))])  # 1 MB, after the first
    root = make_acquisition(tmp_path / "r", chunks=[[first, second]], samples=1 << 18)
    path = os.path.join(root, "0.bin")
    copy = str(tmp_path / "copy.bin")
    shutil.copy(path, copy)
    tests = os.path.dirname(__file__)
    seconds = 3
    writer = subprocess.Popen([sys.executable, "-c", REWRITE_SCRIPT.format(
        path=path, copy=copy, seconds=seconds + 1, cut=len(first) // 2)])
    try:
        reader = subprocess.run([sys.executable, "-c", REREAD_SCRIPT.format(
            tests=tests, root=root, copy=copy, start=len(first), seconds=seconds)], capture_output=True, text=True, timeout=120)
    finally:
        writer.wait(timeout=120)
    assert reader.returncode == 0, reader.stderr
    seen = json.loads(reader.stdout)
    assert set(seen) <= {"whole", "IndexError: Index out of bounds"}
    assert seen.get("whole", 0) > 0


# Every call on an acquisition one of whose files (`name`) was replaced by `make` after the
# object was made: each call's outcome, as text.
STAND_IN_SCRIPT = r"""
import hashlib, json, os, sys, tempfile
sys.path.insert(0, {tests!r})
from acqtools import make_acquisition, write_blob
from formats import ysk16_block as block, ysk16_event as event
import vuzevuz
top = tempfile.mkdtemp(dir={scratch!r})
root = make_acquisition(os.path.join(top, "run"), chunks=[[event([block(0, 0, [k])]) for k in (1, 2)],
                                                          [event([block(0, 0, [3])])]])
write_blob(root, "pedestals_calibration", {{"data": [[[0.5]]]}})
write_blob(root, "readout_metadata", [1, 2])
acq = vuzevuz.Acquisition(root)
path = os.path.join(root, {name!r})
if os.path.exists(path):
    os.remove(path)
if {fifo}:
    os.mkfifo(path)
else:
    open(path, "wb").close()

def export():
    out = tempfile.mkdtemp(dir=top)
    vuzevuz.export_csv(acq, [0, 1, 2], out, True)
    return {{f: open(os.path.join(out, f)).read() for f in os.listdir(out)}}

CALLS = {{
    "construct": lambda: type(vuzevuz.Acquisition(root)).__name__,
    "is_acquisition": lambda: vuzevuz.is_acquisition(root),
    "listing": lambda: [a.name for a in vuzevuz.list_acquisitions(top)],
    "len": lambda: len(acq),
    "chunk_count": lambda: acq.chunk_count,
    "raw_event": lambda: hashlib.sha1(acq.raw_event(0)["rawdata"]).hexdigest(),
    "events": lambda: [e["data"] for e in acq],
    "last event": lambda: acq[2]["data"],
    "pedestals_calibration": lambda: acq.pedestals_calibration,
    "readout_metadata": lambda: acq.readout_metadata,
    "export": export,
}}
seen = {{}}
for call, f in CALLS.items():
    try:
        seen[call] = repr(f())
    except Exception as e:
        seen[call] = type(e).__name__ + ": " + str(e)
print(json.dumps(seen))
"""


@pytest.mark.parametrize("name", ["metadata.yml", "0.bin", "0.idx", "1.idx", "1.bin", "pedestals_calibration",
                                  "readout_metadata"])
def test_a_named_pipe_is_an_empty_file(tmp_path, name):
    """A named pipe without a writer under a file's name: no call waits for one, and every call
    gives what it gives for an empty regular file there."""
    seen = {}
    for fifo in (False, True):
        script = STAND_IN_SCRIPT.format(tests=os.path.dirname(__file__), scratch=str(tmp_path), name=name, fifo=fifo)
        res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
        assert res.returncode == 0, res.stderr
        seen[fifo] = json.loads(res.stdout)
    assert seen[True] == seen[False]
    lengths = {"0.idx": "1", "1.idx": "2", "metadata.yml": "3"}
    assert seen[True]["len"] == lengths.get(name, "3")
