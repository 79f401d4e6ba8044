"""The class "Acquisition": construction, getters, raw and parsed events."""

import os
import pathlib
import struct

import pytest
import yaml

import vuzevuz
from acqtools import make_acquisition


def test_construct_and_getters(tmp_path):
    root = make_acquisition(tmp_path / "run1", chunks=[[b"x" * 10]])
    acq = vuzevuz.Acquisition(root)
    assert acq.is_valid is True
    assert acq.path == root
    assert acq.name == "run1"
    assert acq.chunk_count == 1
    assert acq.metadata is acq.metadata
    assert acq.params == {"model": "ysk16", "channels": 1, "windows": 1, "samples": 1}
    assert acq.params is acq.metadata["params"]
    assert type(acq).__name__ == "Acquisition" and type(acq).__module__ == "vuzevuz"
    ev = acq.raw_event(0)
    assert ev == {"rawdata": b"x" * 10, "pkg_num": 0, "event_num": 0}


def test_keyword_root_and_pathlib(tmp_path):
    root = make_acquisition(tmp_path / "run1")
    assert vuzevuz.Acquisition(root=pathlib.Path(root)).path == root


def test_bytes_root_refused(tmp_path):
    root = make_acquisition(tmp_path / "run1")
    with pytest.raises(TypeError, match="^argument 'root': 'bytes' object cannot be converted to 'PyString'$"):
        vuzevuz.Acquisition(root.encode())


@pytest.mark.parametrize("where", ["missing", "plain"])
def test_not_an_acquisition(tmp_path, where):
    (tmp_path / "plain").mkdir()
    with pytest.raises(FileNotFoundError) as e:
        vuzevuz.Acquisition(str(tmp_path / where))
    assert str(e.value) == "Invalid path" and e.value.errno is None and e.value.args == ("Invalid path",)


def test_metadata_is_a_directory(tmp_path):
    (tmp_path / "r").mkdir()
    (tmp_path / "r" / "metadata.yml").mkdir()
    with pytest.raises(OSError) as e:
        vuzevuz.Acquisition(str(tmp_path / "r"))
    assert type(e.value) is OSError
    assert str(e.value) == "Could not read acquisition: failed to read metadata"


def test_metadata_not_utf8(tmp_path):
    (tmp_path / "r").mkdir()
    (tmp_path / "r" / "metadata.yml").write_bytes(b"params: \xff\n")
    with pytest.raises(OSError, match="^Could not read acquisition: failed to read metadata$"):
        vuzevuz.Acquisition(str(tmp_path / "r"))


def test_yaml_syntax_error_is_the_hosts(tmp_path):
    root = make_acquisition(tmp_path / "r", metadata="params: {model: [\n")
    with pytest.raises(yaml.YAMLError):
        vuzevuz.Acquisition(root)


def test_metadata_error_class(tmp_path):
    root = make_acquisition(tmp_path / "r", metadata="params: {channels: 1, windows: 1, samples: 1}\nregisters: {}\n")
    with pytest.raises(Exception) as first:
        vuzevuz.Acquisition(root)
    with pytest.raises(Exception) as second:
        vuzevuz.Acquisition(root)
    cls = type(first.value)
    assert cls.__name__ == "MetadataError" and cls.__module__ == "acquisition"
    assert cls.__bases__ == (Exception,) and cls.__doc__ is None
    assert str(first.value) == "Could not process metadata: failed to serialized"
    assert first.value.args == ("Could not process metadata: failed to serialized",)
    assert type(second.value) is cls


def test_params_getter_follows_python_changes(tmp_path):
    root = make_acquisition(tmp_path / "r")
    acq = vuzevuz.Acquisition(root)
    acq.metadata["params"]["model"] = "changed"
    assert acq.params["model"] == "changed"
    del acq.metadata["params"]
    with pytest.raises(KeyError) as e:
        acq.params
    assert e.value.args == ("params",)


@pytest.mark.parametrize("index,exc", [(-1, OverflowError), (2**32, OverflowError), (1.0, TypeError), ("0", TypeError)])
def test_index_conversion(tmp_path, index, exc):
    acq = vuzevuz.Acquisition(make_acquisition(tmp_path / "r", chunks=[[b"a"]]))
    for method in (acq.raw_event, acq.parsed_event):
        with pytest.raises(exc) as e:
            method(index)
        assert type(e.value) is exc
        if exc is TypeError:
            assert str(e.value).startswith("argument 'index': ")
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        acq.raw_event(2**32)


def test_raw_event_keyword_and_bool(tmp_path):
    acq = vuzevuz.Acquisition(make_acquisition(tmp_path / "r", chunks=[[b"a", b"b"]]))
    assert acq.raw_event(index=True) == {"rawdata": b"b", "pkg_num": 1, "event_num": 1}


def test_sample_values_at_both_ends(tmp_path):
    """Raw 16-bit samples 0 and 65535 (a dravik event keeps them whole) come out as the floats 0.0
    and 65535.0 (not -0.0, not ints), in every event alike."""
    samples = [0, 65535, 65535, 0]
    group = [0] * 7 + [w for offset in range(4) for w in (5, offset, *samples)] + [0, 0]
    raw = struct.pack(f">{len(group)}H", *group)
    root = make_acquisition(tmp_path / "r", chunks=[[raw, raw]], model="dravik", channels=4, windows=16, samples=4)
    acq = vuzevuz.Acquisition(root)
    for ev in (acq[0], acq.parsed_event(1)):
        values = [v for row in ev["data"] for v in row]
        assert {type(v) for v in values} == {float}
        assert [repr(v) for v in values] == ["0.0", "65535.0", "65535.0", "0.0"] * 4


def test_method_docstrings():
    assert vuzevuz.Acquisition.raw_event.__text_signature__ == "($self, index)"
    assert vuzevuz.Acquisition.raw_event.__doc__ == "Fetch a raw event as `bytes`."
    assert vuzevuz.Acquisition.parsed_event.__text_signature__ == "($self, index)"
    assert vuzevuz.Acquisition.is_valid.__doc__ == "Check if the folder is a valid acquisition."
    assert vuzevuz.Acquisition.chunk_count.__doc__ == "Get the number of chunks in the acquisition"


def test_no_dict_no_weakref_no_setters(tmp_path):
    import weakref
    acq = vuzevuz.Acquisition(make_acquisition(tmp_path / "r"))
    with pytest.raises(AttributeError):
        acq.extra = 1
    with pytest.raises(AttributeError):
        acq.path = "x"
    with pytest.raises(TypeError):
        weakref.ref(acq)


@pytest.mark.parametrize("root,name", [
    ("{t}/run1/", "run1"), ("{t}/run1/.", "run1"), ("{t}/run1//", "run1"),
])
def test_name_forms(tmp_path, root, name):
    make_acquisition(tmp_path / "run1")
    assert vuzevuz.Acquisition(root.format(t=tmp_path)).name == name


def test_name_relative_and_refused(tmp_path, monkeypatch):
    make_acquisition(tmp_path / "run1")
    (tmp_path / "run1" / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    assert vuzevuz.Acquisition("./run1").name == "run1"
    for root in ("run1/sub/..", "./run1/sub/.."):
        with pytest.raises(ValueError, match="^could not get acquisition name$"):
            vuzevuz.Acquisition(root).name
    monkeypatch.chdir(tmp_path / "run1")
    acq = vuzevuz.Acquisition(".")
    assert acq.path == "."
    with pytest.raises(ValueError, match="^could not get acquisition name$"):
        acq.name
    assert acq.is_valid  # the object stays usable


def test_invalid_utf8_name_and_path(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/bad\xff"
    os.mkdir(raw)
    with open(raw + b"/metadata.yml", "w") as f:
        f.write("params: {model: ysk16, channels: 1, windows: 1, samples: 1}\nregisters: {}\n")
    (acq,) = vuzevuz.list_acquisitions(str(tmp_path))
    with pytest.raises(ValueError, match="^invalid acquisition name$"):
        acq.name
    with pytest.raises(UnicodeDecodeError):
        acq.path
    assert len(acq) == 0


def test_deleted_directory(tmp_path):
    import shutil
    root = make_acquisition(tmp_path / "r", chunks=[[b"a"]])
    acq = vuzevuz.Acquisition(root)
    shutil.rmtree(root)
    assert acq.is_valid is False and acq.chunk_count == 0
    assert acq.path == root and acq.params["model"] == "ysk16"


HOST_SCRIPT = r"""
import sys
sys.path.insert(0, {tests!r})
from acqtools import make_acquisition, write_blob
root = make_acquisition({root!r})
sys.modules["yaml"] = None      # the host has no yaml module
sys.modules["gzip"] = None
import vuzevuz
try:
    vuzevuz.Acquisition(root)
except ModuleNotFoundError:
    print("constructor: ModuleNotFoundError")
print("listed:", vuzevuz.list_acquisitions({parent!r}))
del sys.modules["yaml"]          # yaml importable again: no restart needed
acq = vuzevuz.Acquisition(root)
print("constructed:", acq.name)
print("absent blob:", acq.readout_metadata)
write_blob(root, "readout_metadata", [1])
try:
    acq.readout_metadata
except ModuleNotFoundError:
    print("blob: ModuleNotFoundError")
del sys.modules["gzip"]
print("blob:", acq.readout_metadata)
"""


def test_host_modules_looked_up_on_use(tmp_path):
    import subprocess
    import sys
    tests = os.path.dirname(__file__)
    script = HOST_SCRIPT.format(tests=tests, root=str(tmp_path / "r"), parent=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "constructor: ModuleNotFoundError",
        "listed: []",
        "constructed: r",
        "absent blob: None",
        "blob: ModuleNotFoundError",
        "blob: [1]",
    ]
