"""Ctrl-C and other signals during long work, and the export on threads of its own: a child
interpreter runs a call over an acquisition of many chunks, where every event costs a walk over
the chunks before it."""

import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import vuzevuz
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
    return spawn(SCRIPT, many_chunks, scratch, signals, call=call, own_handler=own_handler)


def spawn(script, many_chunks, scratch, signals, **fields):
    """Runs `script` in a child interpreter, sends it `signals` SIGINTs half a second apart once
    it printed "ready", and returns what it printed after that, read as JSON, and how long it
    took after the last signal."""
    top, root = many_chunks
    script = script.format(tests=os.path.dirname(__file__), top=top, root=root, last=LAST, scratch=str(scratch),
                           **fields)
    # Unbuffered, so that reading the first line takes nothing that follows it from the pipe.
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    try:
        assert child.stdout.readline() == b"ready\n"
        for _ in range(signals):
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
        started = time.monotonic()
        out, err = child.communicate(timeout=60)
        waited = time.monotonic() - started
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err.decode()
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


# The file of block 0 is a named pipe: without a reader, with one that reads it all, or with one
# that never reads, so that the export's write waits once the pipe is full.
PIPE_SCRIPT = r"""
import hashlib, json, os, tempfile, threading, time
import vuzevuz
acq = vuzevuz.Acquisition({wide!r})
out = tempfile.mkdtemp(dir={scratch!r})
pipe = os.path.join(out, "wide (chunk 0).csv")
os.mkfifo(pipe)
got = []
if {reader!r} != "none":
    fd = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
    os.set_blocking(fd, True)

def read_all():
    # Until a writer opens the pipe, a read finds its end at once.
    while True:
        piece = os.read(fd, 1 << 16)
        if piece:
            got.append(piece)
        elif got:
            return
        else:
            time.sleep(0.01)

if {reader!r} == "reads":
    reading = threading.Thread(target=read_all)
    reading.start()
print("ready", flush=True)
try:
    vuzevuz.export_csv(acq, [0], out, False)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
except Exception as e:
    outcome = type(e).__name__ + ": " + str(e)
if {reader!r} == "reads":
    reading.join()
print(json.dumps({{"outcome": outcome, "sha1": hashlib.sha1(b"".join(got)).hexdigest()}}))
"""


@pytest.mark.parametrize("reader, signals, outcome", [
    ("none", 0, "ExportError: Could not export: unknown"),
    ("reads", 0, "returned"),
    ("stalls", 1, "KeyboardInterrupt"),
])
def test_a_named_pipe_as_the_csv_file(many_chunks, tmp_path, reader, signals, outcome):
    """The export does not wait for a reader; into a pipe that is read it writes the whole file;
    while it waits for a reader that does not read, Ctrl-C ends it."""
    samples = 1 << 15  # rows of about 400 KiB, many times what a pipe holds
    wide = make_acquisition(tmp_path / "wide", chunks=[[event([block(0, 0, list(range(samples)))])]], samples=samples)
    seen, waited = spawn(PIPE_SCRIPT, many_chunks, tmp_path, signals, reader=reader, wide=wide)
    assert seen["outcome"] == outcome
    assert waited < 10
    if reader == "reads":
        out = tmp_path / "plain"
        out.mkdir()
        vuzevuz.export_csv(vuzevuz.Acquisition(wide), [0], str(out), False)
        assert seen["sha1"] == hashlib.sha1((out / "wide (chunk 0).csv").read_bytes()).hexdigest()


# Standard output is a pipe that nobody reads, and every event has a channel that the export
# reports as bad there, until the pipe is full.
STALLED_STDOUT_SCRIPT = r"""
import json, os, tempfile
import vuzevuz
acq = vuzevuz.Acquisition({bad!r})
report = os.fdopen(os.dup(1), "w")
r, w = os.pipe()
os.dup2(w, 1)
print("ready", file=report, flush=True)
try:
    vuzevuz.export_csv(acq, [0] * 5000, tempfile.mkdtemp(dir={scratch!r}), False)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
print(json.dumps(outcome), file=report, flush=True)
"""


def test_sigint_ends_a_report_that_waits_for_standard_output(many_chunks, tmp_path):
    # Two blocks of one window on channel 0 share label 0: a bad channel in every event.
    bad = make_acquisition(tmp_path / "bad", [[event([block(0, 0, [1, 2]), block(0, 0, [3, 4])])]], channels=2,
                           windows=1, samples=2)
    seen, waited = spawn(STALLED_STDOUT_SCRIPT, many_chunks, tmp_path, 1, bad=bad)
    assert seen == "KeyboardInterrupt"
    assert waited < 10


# An export in a child that a thread other than the main one forked, ended by an alarm.
FORK_SCRIPT = r"""
import json, os, signal, tempfile, threading, time
import vuzevuz
acq = vuzevuz.Acquisition({root!r})
out = tempfile.mkdtemp(dir={scratch!r})
r, w = os.pipe()

def alarm(*args):
    raise TimeoutError

def fork():
    pid = os.fork()
    if pid:
        os.waitpid(pid, 0)
        return
    try:
        signal.signal(signal.SIGALRM, alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.5)
        started = time.monotonic()
        try:
            vuzevuz.export_csv(acq, [{last}] * 3000, out, False)
            outcome = "returned"
        except TimeoutError:
            outcome = "TimeoutError"
        os.write(w, json.dumps({{"outcome": outcome, "took": time.monotonic() - started}}).encode())
    finally:
        os._exit(0)

print("ready", flush=True)
t = threading.Thread(target=fork)
t.start()
t.join()
os.close(w)
print(os.read(r, 1000).decode())
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_export_in_a_child_forked_by_another_thread_is_interrupted(many_chunks, tmp_path):
    """The thread that forked is the child's main thread, where the handler runs at once."""
    seen, _ = spawn(FORK_SCRIPT, many_chunks, tmp_path, 0)
    assert seen["outcome"] == "TimeoutError"
    assert seen["took"] < 5


# Exports on a thread started through _thread, then on the main thread, in a program that has
# not imported threading.
THREAD_SCRIPT = r"""
import _thread, json, sys, tempfile
import vuzevuz
acq = vuzevuz.Acquisition({root!r})
imported = ["threading" in sys.modules]
done = _thread.allocate_lock()
done.acquire()

def work():
    try:
        vuzevuz.export_csv(acq, [0, 1], tempfile.mkdtemp(dir={scratch!r}), False)
    finally:
        done.release()

print("ready", flush=True)
_thread.start_new_thread(work, ())
done.acquire()
vuzevuz.export_csv(acq, [0, 1], tempfile.mkdtemp(dir={scratch!r}), False)
imported.append("threading" in sys.modules)
import threading
print(json.dumps({{"imported": imported, "main": [threading.main_thread() is threading.current_thread(),
                                                 threading.main_thread().ident == _thread.get_ident()]}}))
"""


def test_export_imports_nothing(many_chunks, tmp_path):
    """threading is not imported, so it still takes the main thread for the main one."""
    seen, _ = spawn(THREAD_SCRIPT, many_chunks, tmp_path, 0)
    assert seen == {"imported": [False, False], "main": [True, True]}


# A daemon thread's export that ends while the interpreter exits: a finalizer of __main__ lets
# the lock go for a while once the exit is under way.
DAEMON_SCRIPT = r"""
import tempfile, threading, time
import vuzevuz
acq = vuzevuz.Acquisition({root!r})

class Slow:
    def __del__(self):
        time.sleep(2)

slow = Slow()
t = threading.Thread(target=vuzevuz.export_csv, daemon=True,
                     args=(acq, [{last}] * 20, tempfile.mkdtemp(dir={scratch!r}), False))
t.start()
time.sleep(0.1)
print("ready", flush=True)
print("[]", flush=True)
"""


def test_daemon_export_at_exit(many_chunks, tmp_path):
    """The interpreter ends the thread, or leaves it waiting, where it takes the lock back; the
    process exits as it should, never aborted."""
    spawn(DAEMON_SCRIPT, many_chunks, tmp_path, 0)


# An export into a directory the process may not write, once it dropped its privileges.
UNPRIVILEGED_SCRIPT = r"""
import json, os, sys
import vuzevuz
acq = vuzevuz.Acquisition({acquisition!r})
print("ready", flush=True)
os.setgroups([])
os.setgid(65534)
os.setuid(65534)
try:
    vuzevuz.export_csv(acq, [0], {out!r}, False)
    outcome = "returned"
except Exception as e:
    outcome = type(e).__name__ + ": " + str(e)
print(json.dumps({{"outcome": outcome, "threading": "threading" in sys.modules}}))
"""


@pytest.mark.skipif(not hasattr(os, "setuid") or os.geteuid() != 0, reason="needs to drop root's privileges")
def test_export_after_dropping_privileges(many_chunks, tmp_path):
    """Whatever the interpreter's files the user may no longer read, the answer is the export's."""
    top = tempfile.mkdtemp(prefix="vuzevuz-")  # readable by all, unlike the test's own folder
    try:
        acquisition = make_acquisition(os.path.join(top, "run"), chunks=[[event([block(0, 0, [1])])]])
        for d, _, names in os.walk(top):
            os.chmod(d, 0o755)
            for n in names:
                os.chmod(os.path.join(d, n), 0o644)
        out = os.path.join(top, "out")
        os.mkdir(out, 0o755)
        seen, _ = spawn(UNPRIVILEGED_SCRIPT, many_chunks, tmp_path, 0, acquisition=acquisition, out=out)
    finally:
        shutil.rmtree(top)
    assert seen == {"outcome": "ExportError: Could not export: file access was denied", "threading": False}
