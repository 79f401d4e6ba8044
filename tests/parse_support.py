"""Helpers for the parser tests: parsing events through an acquisition, expected shapes."""

import itertools
import os

import vuzevuz
from acqtools import make_acquisition

MESSAGES = {
    1: "unexpected length of data",
    2: "invalid channel number",
    4: "required data missing when parsing",
    5: "Encountered an empty Package which can't be parsed",
    6: "data is from an unsupported board model",
}
CODES = {"Failed to parse event: " + text: code for code, text in MESSAGES.items()}

_dirs = itertools.count()


class Failed:
    """A ParsingError raised for one event, kept as its code."""

    def __init__(self, code):
        self.code = code

    def __eq__(self, other):
        return isinstance(other, Failed) and other.code == self.code

    def __hash__(self):
        return hash(self.code)

    def __repr__(self):
        return f"Failed({self.code})"


def parse_all(tmp_path, events, **params):
    """Writes `events` into one chunk of a new acquisition below `tmp_path` and parses each: the
    dictionary, or Failed(code) for the ParsingError it raised."""
    root = os.path.join(str(tmp_path), f"acq{next(_dirs)}")
    make_acquisition(root, chunks=[list(events)], **params)
    acq = vuzevuz.Acquisition(root)
    out = []
    for i in range(len(events)):
        try:
            out.append(acq.parsed_event(i))
        except Exception as exc:  # the class lives in the extension, not on the module
            if type(exc).__module__ != "acquisition":
                raise  # MemoryError and the like are no parse result
            assert type(exc).__name__ == "ParsingError", repr(exc)
            assert str(exc) in CODES, str(exc)
            out.append(Failed(CODES[str(exc)]))
    return out


def parse_one(tmp_path, event, **params):
    return parse_all(tmp_path, [event], **params)[0]


def family(model, **defaults):
    """parse_all and parse_one for one model, with default params that a call may override."""
    def parse_family(tmp_path, events, **params):
        return parse_all(tmp_path, events, **{"model": model, **defaults, **params})

    def parse_family_one(tmp_path, event, **params):
        return parse_family(tmp_path, [event], **params)[0]

    return parse_family, parse_family_one


def time_axis(labels, windows, samples):
    """The ring time axis of one channel's labels."""
    if not labels:
        return []
    first = labels[0]
    out = []
    for w in labels:
        d = w - first if w >= first else w + windows - first
        out += [(d * samples + s) % 65536 for s in range(samples)]
    return out


def expected_dict(data, labels, channels, windows, samples, ecc=None):
    """The dictionary of a record whose lists are `data` and `labels`; time below `channels`."""
    return {
        "data": data,
        "window_labels": labels,
        "time": [time_axis(l, windows, samples) if c < channels else [] for c, l in enumerate(labels)],
        "timing": None,
        "ecc_errors": ecc,
    }


def assert_same(got, want):
    """Compares a parsed dictionary with the expected one, values and types."""
    assert not isinstance(got, Failed), got
    assert list(got) == ["data", "window_labels", "time", "timing", "ecc_errors"]
    assert got == want
    assert all(type(v) is float for row in got["data"] for v in row)
