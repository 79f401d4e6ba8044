"""Ctrl-C during long work: SIGINT reaches a child interpreter while it runs a call over an
acquisition of many chunks, where every event costs a walk over the chunks before it."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from acqtools import make_acquisition, metadata_text
from formats import ysk16_block as block, ysk16_event as event

CHUNKS = 8000  # reading the last event walks them all: about 20 ms an event


@pytest.fixture(scope="module")
def many_chunks(tmp_path_factory):
    """"long": one event a chunk, event k holding the sample value k + 1; beside it, many entries
    whose "metadata.yml" takes a while to read."""
    top = tmp_path_factory.mktemp("interrupts")
    root = make_acquisition(top / "long", chunks=[[event([block(0, 0, [k + 1])])] for k in range(CHUNKS)])
    registers = "{" + ", ".join(f"r{i}: {i}" for i in range(200000)) + "}"
    slow = make_acquisition(top / "slow", metadata=metadata_text("ysk16", 1, 1, 1, registers=registers))
    for n in range(300):
        os.symlink(slow, top / f"entry{n}")
    return str(top), root


# Runs `call` after printing "ready"; prints how it ended, then checks that the interpreter can
# still read, iterate and export.
SCRIPT = r"""
import json, os, signal, sys, tempfile, time
sys.path.insert(0, {tests!r})
import yaml
yaml.safe_load = len  # the module's own reading of "metadata.yml" is what takes the time
import vuzevuz
top, root = {top!r}, {root!r}
acq = vuzevuz.Acquisition(root)
last = {last}
out = tempfile.mkdtemp(dir={scratch!r})
handled = []
if {own_handler}:
    signal.signal(signal.SIGINT, lambda *args: handled.append(time.monotonic()))
it = iter(acq)
got = []
print("ready", flush=True)
try:
    result = {call}
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
ended = time.monotonic()
seen = {{"outcome": outcome, "handled during the call": bool(handled) and min(handled) < ended - 0.25}}
if {call!r}.startswith("vuzevuz.export_csv"):
    files = sorted(os.listdir(out))
    seen["rows"] = {{f: sum(1 for _ in open(os.path.join(out, f))) for f in files}}
elif outcome == "returned":
    seen["length"] = len(result)
if got:
    # the iterator stands on the first event that list.extend did not get
    seen["resumes"] = next(it) == acq[len(got)]
later = tempfile.mkdtemp(dir={scratch!r})
vuzevuz.export_csv(acq, [0, 1], later, False)
seen["afterwards"] = [acq[2]["data"][0][0], next(iter(acq))["data"][0][0], os.listdir(later)]
print(json.dumps(seen))
"""

LAST = CHUNKS - 1
LONG_CALLS = {
    # 1000 cheap events make block 0 whole; block 1 is slow, block 2 is never reached
    "export": "vuzevuz.export_csv(acq, [0] * 1000 + [last] * 3000, out, False)",
    "list": "list(acq)",
    "extend": "got.extend(it)",
    "slice": "acq[:]",
    "listing": "vuzevuz.list_acquisitions(top)",
    "indices": "vuzevuz.export_csv(acq, range(2**32 - 1), out, False)",
}


def run(many_chunks, scratch, call, own_handler=False, signals=1):
    top, root = many_chunks
    script = SCRIPT.format(tests=os.path.dirname(__file__), top=top, root=root, last=LAST, call=call,
                           own_handler=own_handler, scratch=str(scratch))
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        for _ in range(signals):
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
        started = time.monotonic()
        out, err = child.communicate(timeout=60)
        waited = time.monotonic() - started
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    return json.loads(out), waited


@pytest.mark.parametrize("name", sorted(LONG_CALLS))
def test_sigint_ends_long_work(many_chunks, tmp_path, name):
    """Each call would run for a minute or more; KeyboardInterrupt ends it soon after the signal,
    and the interpreter reads and exports as before."""
    seen, waited = run(many_chunks, tmp_path, LONG_CALLS[name])
    assert seen["outcome"] == "KeyboardInterrupt"
    assert waited < 10
    assert seen["afterwards"] == [3.0, 1.0, ["long (chunk 0).csv"]]
    if name == "export":
        # block 0 as written, block 1 cut off while its events were read, no block 2
        assert seen["rows"] == {"long (chunk 0).csv": 1001, "long (chunk 1).csv": 0}
    elif name == "indices":
        assert seen["rows"] == {}  # interrupted while its arguments converted
    elif name == "extend":
        assert seen["resumes"] is True


@pytest.mark.parametrize("call, length", [
    ("vuzevuz.export_csv(acq, [last] * 300, out, False)", None),
    (f"acq[{CHUNKS - 300}:]", 300),
])
def test_handler_that_does_not_raise_lets_work_go_on(many_chunks, tmp_path, call, length):
    """A handler of the program's own runs while the work (some seconds of it) goes on, not
    only once it is over, and the result is whole."""
    seen, _ = run(many_chunks, tmp_path, call, own_handler=True, signals=2)
    assert seen["outcome"] == "returned"
    assert seen["handled during the call"] is True
    if length is None:
        assert seen["rows"] == {"long (chunk 0).csv": 301}
    else:
        assert seen["length"] == length
