"""Module initialisation, registration and the argument conventions."""

import importlib.util
import inspect
import json
import os
import subprocess
import sys

import pytest

import vuzevuz

NAMES = ["Acquisition", "list_acquisitions", "is_acquisition", "export_csv", "syndrome",
         "global_parity", "syndrome_to_index", "ecc_check", "ecc_correct"]


def test_all_and_attributes():
    assert vuzevuz.__all__ == NAMES
    for name in NAMES[1:]:
        fn = getattr(vuzevuz, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__module__ == "vuzevuz"
        assert fn.__name__ == name
    for name in ("IterEvents", "MetadataError", "ParsingError", "ExportError"):
        assert not hasattr(vuzevuz, name)
    assert vuzevuz.__doc__.endswith(".") and vuzevuz.__doc__.count(".") == 1


@pytest.mark.parametrize("name,params", [
    ("list_acquisitions", ["root_dir"]),
    ("is_acquisition", ["path"]),
    ("export_csv", ["acq", "indices", "out_dir", "pedestals_correction"]),
    ("syndrome", ["data"]),
    ("global_parity", ["data"]),
    ("syndrome_to_index", ["s"]),
    ("ecc_check", ["raw_bytes"]),
    ("ecc_correct", ["raw_bytes"]),
])
def test_text_signatures(name, params):
    sig = inspect.signature(getattr(vuzevuz, name))
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


def test_second_initialisation_is_refused():
    found = importlib.util.spec_from_file_location("vuzevuz", vuzevuz.__file__)
    with pytest.raises(ImportError, match="only once"):
        found.loader.create_module(found)
    assert vuzevuz.__all__ == NAMES


@pytest.mark.parametrize("call,message", [
    (lambda: vuzevuz.is_acquisition(), "missing required argument 'path'"),
    (lambda: vuzevuz.is_acquisition("a", "b"), "takes 1 positional argument but 2 were given"),
    (lambda: vuzevuz.is_acquisition(pth="a"), "unexpected keyword argument 'pth'"),
    (lambda: vuzevuz.is_acquisition("a", path="b"), "multiple values for argument 'path'"),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keyword_arguments(tmp_path):
    assert vuzevuz.is_acquisition(path=str(tmp_path)) is False


@pytest.mark.parametrize("value,tname", [(b"x", "bytes"), (1, "int"), (None, "NoneType")])
def test_path_type_mismatch(value, tname):
    with pytest.raises(TypeError) as e:
        vuzevuz.is_acquisition(value)
    assert str(e.value) == f"argument 'path': '{tname}' object cannot be converted to 'PyString'"
    assert type(e.value.__cause__) is TypeError


def test_path_subclasses(tmp_path):
    import pathlib

    class S(str):
        pass

    class P(type(pathlib.Path())):
        pass

    assert vuzevuz.is_acquisition(S(tmp_path)) is False
    assert vuzevuz.is_acquisition(P(tmp_path)) is False


def test_unencodable_path_is_refused():
    with pytest.raises(UnicodeEncodeError):
        vuzevuz.is_acquisition("\ud800\ud800")


def run_child(script, tmp_path, **fields):
    """Runs `script`, formatted with the tests folder, `top` and `fields`, in a fresh interpreter;
    returns what it printed, read as JSON."""
    script = script.format(tests=os.path.dirname(__file__), top=str(tmp_path), **fields)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    return json.loads(out)


DROPPED_FAILURES_SCRIPT = r"""
import json, sys
sys.path.insert(0, {tests!r})
from acqtools import make_acquisition
from formats import ysk16_block as block, ysk16_event as event
import vuzevuz

def module_classes():
    return sorted(c.__name__ for c in Exception.__subclasses__() if c.__module__ == "acquisition")

good = make_acquisition({top!r} + "/all/good", chunks=[[event([block(0, 0, [1])]), b"bad"]])
bad_meta = make_acquisition({top!r} + "/all/bad_meta", metadata="params: [1]\nregisters: {{}}\n")
seen = {{}}
(acq,) = vuzevuz.list_acquisitions({top!r} + "/all")
it = iter(acq)
seen["iterated"] = len(list(it)) + len(list(it))
seen["after drops"] = module_classes()
for name, call in [("parse", lambda: acq.parsed_event(1)), ("metadata", lambda: vuzevuz.Acquisition(bad_meta))]:
    try:
        call()
    except Exception as e:
        seen[name] = [type(e).__name__, type(e) in Exception.__subclasses__(), module_classes()]
print(json.dumps(seen))
"""


def test_dropped_failures_create_no_exception_class(tmp_path):
    """list_acquisitions passing over an entry and iteration ending at a bad event raise nothing,
    so a fresh interpreter has none of the module's classes until the first real raise."""
    assert run_child(DROPPED_FAILURES_SCRIPT, tmp_path) == {
        "iterated": 1,
        "after drops": [],
        "parse": ["ParsingError", True, ["ParsingError"]],
        "metadata": ["MetadataError", True, ["MetadataError", "ParsingError"]],
    }


# The first listed entry constructs; the second raises from yaml.safe_load; the third would construct.
LISTING_SCRIPT = r"""
import json, sys
sys.path.insert(0, {tests!r})
from acqtools import make_acquisition
import yaml
for name in ("a", "b", "c"):
    make_acquisition({top!r} + "/" + name)
real, calls = yaml.safe_load, []
def safe_load(text):
    calls.append(text)
    if len(calls) == 2:
        raise {raised}
    return real(text)
yaml.safe_load = safe_load
import vuzevuz
try:
    print(json.dumps(["listed", len(vuzevuz.list_acquisitions({top!r}))]))
except BaseException as e:
    print(json.dumps([type(e).__name__, str(e), len(calls)]))
"""


@pytest.mark.parametrize(
    "raised, outcome",
    [
        ("KeyboardInterrupt", ["KeyboardInterrupt", "", 2]),
        ("SystemExit(3)", ["SystemExit", "3", 2]),
        ("MemoryError('no room')", ["MemoryError", "no room", 2]),
        # failures of reading the metadata are passed over as before
        ("yaml.YAMLError('bad')", ["listed", 2]),
        ("ValueError('bad')", ["listed", 2]),
        ("RecursionError('deep')", ["listed", 2]),
    ],
)
def test_listing_lets_interrupts_and_memory_errors_through(tmp_path, raised, outcome):
    assert run_child(LISTING_SCRIPT, tmp_path, raised=raised) == outcome


# Fails one allocation of the interpreter's, at each position in turn, while the events are
# iterated: list() either has every event or raises MemoryError, and next() after a MemoryError
# retries the same event.
NOMEMORY_SCRIPT = r"""
import json, sys
sys.path.insert(0, {tests!r})
import _testcapi
from acqtools import make_acquisition
from formats import ysk16_block as block, ysk16_event as event
import vuzevuz

root = make_acquisition({top!r} + "/r", chunks=[[event([block(0, 0, [k])]) for k in range(3)]])
acq = vuzevuz.Acquisition(root)
expected = list(acq)
seen = {{"listed": set(), "stepped": set(), "retried": 0}}
for start in range(1, 400):
    try:
        _testcapi.set_nomemory(start, start + 1)
        try:
            got = len(list(acq))
        finally:
            _testcapi.remove_mem_hooks()
    except MemoryError:
        got = "MemoryError"
    seen["listed"].add(got)

    it = iter(acq)
    slots, n = [None] * 4, 0
    _testcapi.set_nomemory(start, start + 1)
    try:
        while True:
            try:
                ev = next(it)
            except StopIteration:
                break
            except MemoryError:
                seen["retried"] += 1
                continue
            slots[n] = ev
            n += 1
    finally:
        _testcapi.remove_mem_hooks()
    seen["stepped"].add(slots[:n] == expected)
print(json.dumps({{"listed": sorted(map(str, seen["listed"])), "stepped": sorted(seen["stepped"]),
                  "retried": seen["retried"] > 0}}))
"""


def test_iteration_lets_memory_errors_through(tmp_path):
    pytest.importorskip("_testcapi")
    assert run_child(NOMEMORY_SCRIPT, tmp_path) == {"listed": ["3", "MemoryError"], "stepped": [True], "retried": True}
