"""Helpers for the parser tests: parsing events through an acquisition, expected shapes."""

import itertools
import os
import struct

import vuzevuz
from acqtools import make_acquisition

MESSAGES = {
    1: "unexpected length of data",
    2: "invalid channel number",
    4: "required data missing when parsing",
}
CODES = {"Failed to parse event: " + text: code for code, text in MESSAGES.items()}

_dirs = itertools.count()


class Failed:
    """A ParsingError raised for one event, kept as its code."""

    def __init__(self, code):
        self.code = code

    def __eq__(self, other):
        return isinstance(other, Failed) and other.code == self.code

    def __repr__(self):
        return f"Failed({self.code})"


def parse_messages(root, events, **params):
    """Writes `events` into one chunk of a new acquisition at `root` and parses each: the
    dictionary, or the message of the ParsingError it raised."""
    make_acquisition(root, chunks=[list(events)], **params)
    acq = vuzevuz.Acquisition(root)
    out = []
    for i in range(len(events)):
        try:
            out.append(acq.parsed_event(i))
        except Exception as exc:  # the class lives in the extension, not on the module
            assert type(exc).__name__ == "ParsingError" and type(exc).__module__ == "acquisition", repr(exc)
            out.append(str(exc))
    return out


def fresh_dir(tmp_path):
    return os.path.join(str(tmp_path), f"acq{next(_dirs)}")


def family(model, **defaults):
    """parse(tmp_path, events, **params), parse_one and parse_error for one model, with default params;
    parse_error returns the ParsingError's message."""
    def parse(tmp_path, events, **params):
        return parse_messages(fresh_dir(tmp_path), events, **{"model": model, **defaults, **params})

    def parse_one(tmp_path, event, **params):
        return parse(tmp_path, [event], **params)[0]

    def parse_error(tmp_path, event, **params):
        message = parse_one(tmp_path, event, **params)
        assert isinstance(message, str), message
        return message

    return parse, parse_one, parse_error


def parse_all(tmp_path, events, **params):
    """Parses `events` as parse_messages does; a ParsingError becomes Failed(code)."""
    return [Failed(CODES[r]) if isinstance(r, str) else r
            for r in parse_messages(fresh_dir(tmp_path), events, **params)]


def parse_one(tmp_path, event, **params):
    return parse_all(tmp_path, [event], **params)[0]


# The settings of every parser family, key: (default, width), in the order of the parsers' tables
# (tests/test_cpp.py checks this copy against them). Width 16 or 32: the low bits kept of a
# non-negative integer; "hex16": hexadecimal text, of which the low 16 bits are kept.
SETTINGS = {
    "dravikv1": {"n_window_headers": (2, 32), "n_event_headers": (7, 32), "n_footer_words": (1, 32)},
    "hestrelv1": {"chanmask": (0x3F, 16), "abs_wind_mask": (0x3F, 16), "timing_mask": (0xFFF, 16),
                  "timing_shift": (12, 32), "packet_size": (72, 32), "headers": (4, 32),
                  "stop_word": (0xFA5A, "hex16")},
    "korvexv3": {"databitmask": (0x1FFF, 16), "chanmask": (0x600, 16), "chan_shift": (9, 16),
                 "windmask": (0x1FE, 16), "n_event_headers": (3, 32), "n_window_headers": (1, 32),
                 "n_footers": (2, 32), "n_last_bits": (1, 32)},
    "korvexv3s": {"n_channel_headers": (1, 32), "chanmask": (0x3FF, 16), "chan_shift": (8, 16),
                  "windmask": (0xFF, 16), "datamask": (0x1FFF, 16), "n_event_headers": (3, 32),
                  "n_footer_words": (1, 32), "n_window_headers": (0, 32), "n_window_footers": (0, 32),
                  "n_last_bits": (0, 32)},
    "quimbra": {"num_chips": (2, 32), "databitmask": (0xFFF, 16), "chanmask": (0x300, 16), "chan_shift": (8, 16),
                "windmask": (0xFF, 16), "chip_stop_word": (0xFFFF, 16), "n_chip_headers": (3, 32),
                "n_window_headers": (1, 32)},
    "sirel96": {"num_chips": (6, 32), "n_chip_headers": (1, 32), "n_chip_footers": (3, 32),
                "n_window_headers": (1, 32), "n_window_footers": (1, 32), "data_mask": (0x3FF, 16),
                "chanmask": (0xFF00, 16), "chan_shift": (8, 16), "windmask": (0xFF, 16),
                "n_event_footers": (2, 32)},
    "tolvanev3": {"n_channel_headers": (1, 32), "chanmask": (0xC00, 16), "chan_shift": (10, 16),
                  "windmask": (0x3FE, 16), "datamask": (0x1FFF, 16), "n_event_headers": (3, 32),
                  "n_window_headers": (1, 32), "n_footer_words": (2, 32), "n_last_bits": (1, 32)},
    "ysk16": {"data_mask": (0x3FF, 16), "chanmask": (0xFF00, 16), "chan_shift": (8, 16), "windmask": (0xFF, 16),
              "n_chip_headers": (1, 32), "n_chip_footers": (2, 32), "n_window_headers": (1, 32),
              "n_window_footers": (1, 32)},
}


def effective_settings(family, given=None):
    """The settings a parser of `family` works with: the `given` values (texts read as written
    integers) narrowed to their width, the defaults for the others."""
    table = SETTINGS[family]
    s = {key: default for key, (default, _) in table.items()}
    for key, v in (given or {}).items():
        width = table[key][1]
        if width == "hex16":
            s[key] = int(v.lstrip("+"), 16) & 0xFFFF
        else:
            v = int(v, 0) if isinstance(v, str) else v
            s[key] = v & (1 << width) - 1
    return s


def words_be(words):
    return struct.pack(f">{len(words)}H", *words)


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


def noisy(value, mask, shift, rng, keep_out=0):
    """A word whose (word & mask) >> shift is `value` (shifted into the mask); the other bits are
    random, except those of `keep_out`."""
    used = mask & ~((1 << shift) - 1)
    word = value << shift
    assert word & ~used == 0, "value does not fit its field"
    return word | (rng.getrandbits(16) & ~used & ~keep_out)
