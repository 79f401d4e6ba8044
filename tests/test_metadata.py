"""The typed reading of "metadata.yml", as the Acquisition class shows it.

The full table of scalar resolution and refusals is checked on the reader itself by
tests/cpp/test_metadata.cpp; here are the cases that reach it through the constructor (the host's
YAML loader accepts them) and whose outcome differs from what that loader makes of the file."""

import pytest

import vuzevuz
from acqtools import make_acquisition
from formats import ysk16_block, ysk16_event

PARAMS = "params:\n  model: ysk16\n  channels: 1\n  windows: 1\n  samples: 2\n"
MESSAGE = "Could not process metadata: failed to serialized"


def construct(tmp_path, text, chunks=()):
    return vuzevuz.Acquisition(make_acquisition(tmp_path / "acq", chunks=chunks, metadata=text))


def refuses(tmp_path, text):
    with pytest.raises(Exception) as e:
        construct(tmp_path, text)
    assert type(e.value).__name__ == "MetadataError" and type(e.value).__module__ == "acquisition"
    assert str(e.value) == MESSAGE


@pytest.mark.parametrize("text", [
    PARAMS,                                          # registers missing
    PARAMS + "registers: ~\n",
    PARAMS + "registers: []\n",
    PARAMS + "registers: {}\n" + PARAMS,             # params twice
    PARAMS + "registers: {}\nregisters: {}\n",
    "params:\n  model: ysk16\n  channels: 1\n  windows: 1\nregisters: {}\n",
    "params:\n  model: ysk16\n  model: ysk16\n  channels: 1\n  windows: 1\n  samples: 2\nregisters: {}\n",
    "params:\n  model: [ysk16]\n  channels: 1\n  windows: 1\n  samples: 2\nregisters: {}\n",
    "params: [model, ysk16]\nregisters: {}\n",
    "- params\n- registers\n",
    PARAMS + "  gain: 1\n  gain: 2\nregisters: {}\n",      # extra key repeated
    PARAMS + "  1: a\n  '1': b\nregisters: {}\n",        # different nodes, one key text
    PARAMS + "  gain: 18446744073709551616\nregisters: {}\n",
    PARAMS + "  gain: -9223372036854775809\nregisters: {}\n",
    PARAMS + "  gain: {a: 1, a: 2}\nregisters: {}\n",
    PARAMS + "registers:\n  r: 340282366920938463463374607431768211455\n",
    PARAMS + "  gain: " + "[" * 127 + "]" * 127 + "\nregisters: {}\n",
])
def test_refused(tmp_path, text):
    refuses(tmp_path, text)


@pytest.mark.parametrize("written", ["010", "'2'", '"2"', "2.0", "-2", "~", "", "1e1", "0x-2", "!!str |-\n    2"])
def test_count_refused(tmp_path, written):
    refuses(tmp_path, f"params:\n  model: ysk16\n  channels: {written}\n  windows: 1\n  samples: 2\nregisters:\n")


def two_channel_event():
    return ysk16_event([ysk16_block(0, 0, [5, 6]), ysk16_block(1, 0, [7, 8])])


@pytest.mark.parametrize("written", ["2", "+2", "0x2", "0b10", "0o2", "!!str 2", "!!int |-\n    2"])
def test_count_forms(tmp_path, written):
    text = f"params:\n  model: ysk16\n  channels: {written}\n  windows: 1\n  samples: 2\nregisters:\n"
    ev = construct(tmp_path, text, chunks=[[two_channel_event()]]).parsed_event(0)
    assert ev["data"] == [[5.0, 6.0], [7.0, 8.0]]


# How a setting is written decides whether the parser takes it: only a non-negative integer is,
# anything else leaves the default (one chip header byte).
@pytest.mark.parametrize("written, headers", [
    ("3", 3), ("0x3", 3), ("+3", 3), ("0b11", 3), ("!!int '3'", 3), ("&h 3", 3),
    ("'3'", 1), ("03", 1), ("3.0", 1), ("1e400", 1), ("true", 1), ("~", 1), ("[3]", 1), ("-3", 1),
])
def test_setting_resolution(tmp_path, written, headers):
    text = PARAMS + f"  n_chip_headers: {written}\nregisters:\n"
    ev = ysk16_event([ysk16_block(0, 0, [5, 6])], n_chip_headers=headers)
    acq = construct(tmp_path, text, chunks=[[ev]])
    assert acq.parsed_event(0)["data"] == [[5.0, 6.0]]


def test_skipped_keys_and_aliases(tmp_path):
    text = ("other: {a: 18446744073709551616, a: 2}\n"
            "defaults: &d 2\n"
            "other: " + "[" * 200 + "]" * 200 + "\n"
            "params:\n  model: ysk16\n  channels: 1\n  windows: 1\n  samples: 2\n"
            "  n_chip_headers: *d\n"
            "registers:\n  r: !!int '0x10'\n")
    ev = ysk16_event([ysk16_block(0, 0, [5, 6])], n_chip_headers=2)
    acq = construct(tmp_path, text, chunks=[[ev]])
    assert acq.parsed_event(0)["data"] == [[5.0, 6.0]]


def test_alias_bomb_refused(tmp_path):
    lines = ["l0: &l0 [x, x, x, x, x, x, x, x, x, x]"]
    lines += [f"l{i}: &l{i} [" + ", ".join([f"*l{i - 1}"] * 10) + "]" for i in range(1, 9)]
    text = "\n".join(lines) + "\n" + PARAMS + "  gain: *l8\nregisters:\n"
    # The host's loader shares the aliased objects; the reader copies them, within a bound.
    refuses(tmp_path, text)
