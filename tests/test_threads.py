"""Several Python threads using one acquisition at once: reading and parsing events, exporting
(which runs without the interpreter lock) and checking sirel96 events on the worker pool.
Every result must equal the one computed alone beforehand."""

import os
import sys
import threading

import pytest

import vuzevuz
from acqtools import make_acquisition, write_blob
from formats import ysk16_block, ysk16_event

CHANNELS, WINDOWS, SAMPLES = 4, 2, 8
EVENTS = 60
ROUNDS = 3


def numbered_event(n):
    blocks = [ysk16_block(c, (n + c) % WINDOWS, [(n * 7 + c * 3 + i) % 1024 for i in range(WINDOWS * SAMPLES)])
              for c in range(CHANNELS)]
    return ysk16_event(blocks)


def sirel96_event():
    raw = bytearray(131140 + 2)
    for k, bit in ((0, 0), (40, 3), (9000, 14), (20000, 9)):
        raw[3 + 2 * k + bit // 8] ^= 1 << (bit % 8)
    raw[3 + 2 * 70] ^= 0x03  # two flipped bits
    return bytes(raw)


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    top = tmp_path_factory.mktemp("threads")
    events = [numbered_event(n) for n in range(EVENTS)]
    root = make_acquisition(top / "acq", chunks=[events[:25], events[25:40], events[40:]], channels=CHANNELS,
                            windows=WINDOWS, samples=SAMPLES)
    write_blob(root, "pedestals_calibration", {"data": [[[float(c + w)] * SAMPLES for w in range(WINDOWS)]
                                                        for c in range(CHANNELS)]})
    return {"top": top, "root": root, "acq": vuzevuz.Acquisition(root), "raw": sirel96_event()}


def export_files(acq, indices, out_dir, correct):
    os.makedirs(out_dir, exist_ok=True)
    vuzevuz.export_csv(acq, indices, str(out_dir), correct)
    out = {}
    for name in sorted(os.listdir(out_dir)):
        with open(os.path.join(out_dir, name), "rb") as f:
            out[name] = f.read()
    return out


@pytest.fixture(scope="module")
def expected(shared):
    acq = shared["acq"]
    indices = list(range(EVENTS))
    out = {
        "events": [acq.parsed_event(i) for i in range(EVENTS)],
        "raw": [acq.raw_event(i) for i in range(EVENTS)],
        "pedestals": acq.pedestals_calibration,
        "export": {c: export_files(acq, indices, shared["top"] / f"alone_{c}", c) for c in (False, True)},
        "check": vuzevuz.ecc_check(shared["raw"]),
        "correct": vuzevuz.ecc_correct(shared["raw"]),
    }
    # Something to compare: findings, a corrected copy, a corrected export of every event.
    assert len(out["check"]) == 5 and out["correct"] != shared["raw"]
    assert out["export"][True] != out["export"][False] and len(out["export"][True]) == 1
    return out


def run_together(workers):
    """Starts every worker at once and re-raises the first failure."""
    failures = []
    start = threading.Barrier(len(workers))

    def wrap(fn):
        def run():
            start.wait()
            try:
                for r in range(ROUNDS):
                    fn(r)
            except BaseException as e:  # noqa: BLE001 - reported below
                failures.append(e)
        return run

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=wrap(w)) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        assert not any(t.is_alive() for t in threads), "a worker hangs"
    finally:
        sys.setswitchinterval(old)
    if failures:
        raise failures[0]


def test_readers_exporters_and_checks_at_once(shared, expected):
    acq = shared["acq"]
    indices = list(range(EVENTS))

    def iterate(r):
        assert list(acq) == expected["events"]

    def index_and_slice(r):
        for i in range(r, EVENTS, 7):
            assert acq[i] == expected["events"][i]
            assert acq.raw_event(i) == expected["raw"][i]
        assert acq[r::5] == expected["events"][r::5]
        assert len(acq) == EVENTS

    def blobs(r):
        assert acq.pedestals_calibration == expected["pedestals"]
        assert acq.timing_calibration is None

    def exporter(correct):
        def run(r):
            out = shared["top"] / f"thread_{correct}_{r}"
            assert export_files(acq, indices, out, correct) == expected["export"][correct]
        return run

    def ecc(r):
        assert vuzevuz.ecc_check(shared["raw"]) == expected["check"]
        assert vuzevuz.ecc_correct(bytearray(shared["raw"])) == expected["correct"]

    run_together([iterate, index_and_slice, blobs, exporter(False), exporter(True), ecc, ecc])


def test_many_acquisition_objects_and_listing(shared, expected):
    """Objects made, listed and dropped on several threads while another one exports."""
    def make_and_read(r):
        acq = vuzevuz.Acquisition(shared["root"])
        assert acq[EVENTS - 1] == expected["events"][-1]
        [listed] = vuzevuz.list_acquisitions(str(shared["top"]))
        assert listed.name == "acq" and len(listed) == EVENTS

    def export(r):
        out = shared["top"] / f"listing_{r}"
        assert export_files(shared["acq"], list(range(EVENTS)), out, True) == expected["export"][True]

    run_together([make_and_read, make_and_read, make_and_read, export])
