"""Running out of descriptors or memory: each call gives its whole result or raises, and gives
the whole result again once the limit is lifted. Each case runs in a child interpreter."""

import json
import os
import subprocess
import sys

import pytest

from acqtools import make_acquisition, metadata_text, write_blob
from formats import ysk16_block as block, ysk16_event as event

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
BIG = 1 << 18  # samples of the large event: 512 KiB of raw bytes


@pytest.fixture(scope="module")
def top(tmp_path_factory):
    """"top/run": three chunks of two small events and a pedestal blob, beside "top/other";
    "big": one large event; "long_text": a "metadata.yml" holding one text of 4 MiB."""
    d = tmp_path_factory.mktemp("exhaustion")
    small = [[event([block(0, 0, [2 * c + e + 1])]) for e in range(2)] for c in range(3)]
    root = make_acquisition(d / "top" / "run", chunks=small)
    write_blob(root, "pedestals_calibration", {"data": [[[0.5]]]})
    make_acquisition(d / "top" / "other")
    make_acquisition(d / "big", chunks=[[event([block(0, 0, [k % 1000 for k in range(BIG)])])]], samples=BIG)
    text = metadata_text("ysk16", 1, 1, 1, registers=f'{{r: "{"x" * (1 << 22)}"}}')
    make_acquisition(d / "long_text", metadata=text)
    return str(d)


# Every call's result, summed up: "whole" when it equals the result without a limit.
CALLS = r"""
import hashlib, json, os, resource, sys, tempfile
sys.path.insert(0, {tests!r})
{prelude}
import vuzevuz
d = {top!r}
top, root = d + "/top", d + {which!r}
acq = vuzevuz.Acquisition(root)
last = len(acq) - 1

def export(corrected):
    out = tempfile.mkdtemp(dir={scratch!r})
    vuzevuz.export_csv(acq, range(last + 1), out, corrected)
    return ["files", out]

def files(out):
    return {{f: hashlib.sha1(open(os.path.join(out, f), "rb").read()).hexdigest() for f in sorted(os.listdir(out))}}

def summary(ev):
    return [len(ev["data"][0]), ev["data"][0][0], ev["data"][0][-1]]

CALLS = {{
    "len": lambda: len(acq),
    "chunk_count": lambda: acq.chunk_count,
    "index": lambda: summary(acq[last]),
    "raw_event": lambda: hashlib.sha1(acq.raw_event(last)["rawdata"]).hexdigest(),
    "slice": lambda: [summary(e) for e in acq[:]],
    "iteration": lambda: [summary(e) for e in acq],
    "export": lambda: export(False),
    "export, corrected": lambda: export(True),
    "listing": lambda: sorted(a.path for a in vuzevuz.list_acquisitions(top)),
    "construct": lambda: vuzevuz.Acquisition(root).chunk_count,
    "blob": lambda: acq.pedestals_calibration,
}}

def outcome(name):
    try:
        return ["result", CALLS[name]()]
    except Exception as e:
        return ["raised", type(e).__name__, getattr(e, "errno", None)]

def judged(got, whole):
    if got[0] == "raised":
        return " ".join(map(str, got[1:]))
    result = got[1]
    if isinstance(result, list) and result[:1] == ["files"]:
        result = files(result[1])
    return "whole" if result == whole else "short"

whole = {{}}
for name in CALLS:
    whole[name] = CALLS[name]()
    if name.startswith("export"):
        whole[name] = files(whole[name][1])
"""


NOFILE_SCRIPT = CALLS + r"""
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(256, hard), hard))
seen = {{name: {{}} for name in CALLS}}
for free in range(5):
    held = []
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    for fd in held[:free]:
        os.close(fd)
    got = {{name: outcome(name) for name in CALLS}}
    for fd in held[free:]:
        os.close(fd)
    for name in CALLS:
        seen[name][free] = judged(got[name], whole[name])
seen["lifted"] = sorted({{judged(outcome(name), whole[name]) for name in CALLS}})
print(json.dumps(seen))
"""


def run(script, top, scratch, which="/top/run", env=None, prelude=""):
    """Runs `script` in a child interpreter; `prelude` runs before the module is first used."""
    script = script.format(tests=os.path.dirname(__file__), top=top, scratch=str(scratch), which=which,
                           prelude=prelude)
    res = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, **(env or {})),
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime needs descriptors of its own to check memory")
def test_out_of_descriptors_raises(top, tmp_path):
    """With no descriptor left every call raises OSError(EMFILE); with a few left each call gives
    the whole result or raises; with enough, and once the limit is lifted, all are whole."""
    seen = run(NOFILE_SCRIPT, top, tmp_path)
    assert seen.pop("lifted") == ["whole"]
    for name, by_free in seen.items():
        assert by_free["0"] == "OSError 24", name
        assert by_free["4"] == "whole", name
        assert set(by_free.values()) <= {"whole", "OSError 24"}, (name, by_free)


# The address space is held to what the process uses now plus `room`, for rooms from none to
# 64 MiB; every call is made at every room.
AS_SCRIPT = CALLS + r"""
CALLS["long text"] = lambda: type(vuzevuz.Acquisition(d + "/long_text")).__name__
whole["long text"] = "Acquisition"

def in_use():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

seen = {{name: set() for name in CALLS}}
got = {{}}
_, hard = resource.getrlimit(resource.RLIMIT_AS)
for room in range(0, 64 << 20, 4 << 20):
    for name in CALLS:
        resource.setrlimit(resource.RLIMIT_AS, (in_use() + room, hard))
        try:
            got[name] = outcome(name)
        except MemoryError:
            got[name] = ["raised", "MemoryError", None]
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        seen[name].add(judged(got[name], whole[name]))
        got.clear()
out = {{name: sorted(v) for name, v in seen.items()}}
out["lifted"] = sorted({{judged(outcome(name), whole[name]) for name in CALLS}})
print(json.dumps(out))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="address space limit clashes with ASan")
def test_out_of_memory_raises(top, tmp_path):
    """Held to little address space, reading the large event, parsing it, exporting it and
    reading the long text of "metadata.yml" raise MemoryError instead of reading as missing,
    short or malformed."""
    # Large blocks come from new maps, not from memory the heap already holds.
    # Only the module's own reading of the long text, not PyYAML's.
    seen = run(AS_SCRIPT, top, tmp_path, "/big", env={"GLIBC_TUNABLES": "glibc.malloc.mmap_threshold=131072"},
               prelude="import yaml; yaml.safe_load = len")
    assert seen.pop("lifted") == ["whole"]
    for name, outcomes in seen.items():
        assert set(outcomes) <= {"whole", "MemoryError None"}, (name, outcomes)
    for name in ("raw_event", "iteration", "export", "long text"):
        assert "MemoryError None" in seen[name], name


# Fails one allocation of the interpreter's, at each position in turn. The blob is left out:
# the host's gzip and pickle decide what their failures raise. So does PyYAML, whose Python code
# some interpreters (3.10) fail without an exception when memory runs out: a builtin that
# allocates stands in for yaml.safe_load, and a MemoryError of its own must reach the caller.
NOMEMORY_SCRIPT = CALLS + r"""
import _testcapi
del CALLS["blob"]
seen = {{name: set() for name in CALLS}}
for name in CALLS:
    for start in range(1, 300):
        _testcapi.set_nomemory(start, start + 1)
        try:
            got = outcome(name)
        except MemoryError:
            got = ["raised", "MemoryError", None]
        finally:
            _testcapi.remove_mem_hooks()
        seen[name].add(judged(got, whole[name]))
print(json.dumps({{name: sorted(v) for name, v in seen.items()}}))
"""


def test_interpreter_out_of_memory_raises(top, tmp_path):
    pytest.importorskip("_testcapi")
    seen = run(NOMEMORY_SCRIPT, top, tmp_path, prelude="import yaml; yaml.safe_load = str.split")
    for name, outcomes in seen.items():
        assert set(outcomes) <= {"whole", "MemoryError None"}, (name, outcomes)


# Argument conversions that fail with a TypeError, each under one failing allocation of the
# interpreter's at every position in turn.
ARGUMENTS_SCRIPT = r"""
import json, sys, tempfile, _testcapi
import vuzevuz
acq = vuzevuz.Acquisition({top!r} + "/top/run")
out = tempfile.mkdtemp(dir={scratch!r})
# The module's functions are called straight from here: a Python function called while memory
# runs out may fail without an exception on some interpreters (3.11's frame push among them).
# Each message is the module's own: the interpreter's own conversions (a float as an index) lose
# a MemoryError of their message on some interpreters (3.10), which the module cannot tell.
export, is_acquisition = vuzevuz.export_csv, vuzevuz.is_acquisition
CASES = {{
    "indices a str": (export, (acq, "01", out, False)),
    "indices a set": (export, (acq, {{0}}, out, False)),
    "acq an int": (export, (0, [0], out, False)),
    "flag an int": (export, (acq, [0], out, 1)),
    "path bytes": (is_acquisition, (b".",)),
}}

def outcome(call):
    fn, args = call
    try:
        fn(*args)
        return "returned"
    except MemoryError:
        return "MemoryError"
    except Exception as e:
        return type(e).__name__ + ": " + str(e)

seen = {{}}
for name, call in CASES.items():
    found = {{outcome(call)}}
    for start in range(1, 200):
        _testcapi.set_nomemory(start, start + 1)
        try:
            got = outcome(call)
        except MemoryError:
            got = "MemoryError"
        finally:
            _testcapi.remove_mem_hooks()
        found.add(got)
    seen[name] = sorted(found)
print(json.dumps(seen))
"""


def test_memory_error_while_an_argument_error_is_worded(top, tmp_path):
    """Where making the message of an argument's TypeError runs out of memory, the caller gets
    MemoryError, never a TypeError worded around it."""
    pytest.importorskip("_testcapi")
    seen = run(ARGUMENTS_SCRIPT, top, tmp_path)
    prefixes = {"indices a str": "argument 'indices': ", "indices a set": "argument 'indices': ",
                "acq an int": "argument 'acq': ", "flag an int": "argument 'pedestals_correction': ",
                "path bytes": "argument 'path': "}
    for name, outcomes in seen.items():
        worded = [o for o in outcomes if o != "MemoryError"]
        assert "MemoryError" in outcomes, name
        assert len(worded) == 1 and worded[0].startswith("TypeError: " + prefixes[name]), (name, outcomes)
