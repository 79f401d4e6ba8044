"""The ysk16 parser, the shared framework rules and the event dictionary."""

import random

import pytest

import vuzevuz
from acqtools import make_acquisition
from formats import words_le, ysk16_block, ysk16_event
from parse_support import Failed, family, time_axis

KEYS = ["data", "window_labels", "time", "timing", "ecc_errors"]


parse_all, parse_one = family("ysk16", channels=2, windows=2, samples=2)


@pytest.mark.parametrize("seed", range(5))
def test_round_trip(tmp_path, seed):
    rng = random.Random(seed)
    channels, windows, samples = rng.randint(1, 6), rng.randint(1, 9), rng.randint(1, 7)
    order = list(range(channels))
    rng.shuffle(order)
    expected_data = {c: [] for c in range(channels)}
    expected_labels = {c: [] for c in range(channels)}
    blocks = []
    for c in order:
        start = rng.randrange(windows)
        values = [rng.randrange(1024) for _ in range(windows * samples)]
        blocks.append(ysk16_block(c, start, values))
        expected_data[c] += values
        expected_labels[c] += [(start + k) % windows for k in range(windows)]
    ev = parse_one(tmp_path, ysk16_event(blocks), channels=channels, windows=windows, samples=samples)
    assert list(ev) == KEYS
    assert ev["data"] == [[float(v) for v in expected_data[c]] for c in range(channels)]
    assert ev["window_labels"] == [expected_labels[c] for c in range(channels)]
    assert ev["time"] == [time_axis(expected_labels[c], windows, samples) for c in range(channels)]
    assert ev["timing"] is None and ev["ecc_errors"] is None


@pytest.mark.parametrize("length", [26, 28])
def test_length_must_match(tmp_path, length):
    ev = ysk16_event([ysk16_block(0, 0, [0] * 4), ysk16_block(1, 0, [0] * 4)])
    assert len(ev) == 27
    ev = (ev + b"\0")[:length]
    assert parse_one(tmp_path, ev) == Failed(1)


def test_empty_event(tmp_path):
    assert parse_one(tmp_path, b"") == Failed(4)


@pytest.mark.parametrize("word,value", [(0x0000, 1023.0), (0xFFFF, 0.0), (0xFC00, 1023.0), (0x0001, 1022.0)])
def test_sample_inversion_and_mask(tmp_path, word, value):
    ev = b"\0" + words_le([0x0000, word, word, 0]) + b"\0\0"
    assert parse_one(tmp_path, ev, channels=1, windows=1, samples=2)["data"] == [[value, value]]


def test_invalid_channel(tmp_path):
    ev = ysk16_event([ysk16_block(0, 0, [0] * 4), ysk16_block(3, 5, [0] * 4)])
    assert parse_one(tmp_path, ev, channels=2) == Failed(2)


def test_header_word_fields(tmp_path):
    # header 0x0305: channel 3, start 5
    ev = ysk16_event([ysk16_block(3, 5, [1] * 8)] + [ysk16_block(2, 0, [1] * 8)] * 3)
    d = parse_one(tmp_path, ev, channels=4, windows=8, samples=1)
    assert d["window_labels"][3] == [5, 6, 7, 0, 1, 2, 3, 4]
    assert d["time"][3] == [0, 1, 2, 3, 4, 5, 6, 7]
    assert d["data"][:2] == [[], []] and len(d["data"][2]) == 24


def test_labels_wrap_start_beyond_windows(tmp_path):
    ev = ysk16_event([ysk16_block(0, 6, [0] * 4)])
    assert parse_one(tmp_path, ev, channels=1, windows=4, samples=1)["window_labels"] == [[2, 3, 0, 1]]


def test_repeated_channel_blocks_append(tmp_path):
    ev = ysk16_event([ysk16_block(1, 0, [1, 2]), ysk16_block(1, 1, [3, 4])])
    d = parse_one(tmp_path, ev, channels=2, windows=2, samples=1)
    assert d["data"] == [[], [1.0, 2.0, 3.0, 4.0]]
    assert d["window_labels"] == [[], [0, 1, 1, 0]]
    assert d["time"] == [[], [0, 1, 1, 0]]


@pytest.mark.parametrize("windows,samples", [(0, 3), (3, 0)])
def test_zero_windows_or_samples(tmp_path, windows, samples):
    ev = ysk16_event([ysk16_block(0, 0, []), ysk16_block(1, 0, [])])
    d = parse_one(tmp_path, ev, channels=2, windows=windows, samples=samples)
    assert d["data"] == [[], []]
    assert d["window_labels"] == ([[], []] if windows == 0 else [[0, 1, 2], [0, 1, 2]])
    assert d["time"] == [[], []]


def test_labels_dropped_when_start_plus_windows_overflows(tmp_path):
    words = [0xFFF0] + [0] * 32 + [0]
    ev = b"\0" + words_le(words) + b"\0\0"
    d = parse_one(tmp_path, ev, channels=1, windows=32, samples=1, windmask="0xFFFF", chanmask=0)
    assert d["data"] == [[1023.0] * 32]
    assert d["window_labels"] == [[]] and d["time"] == [[]]


def test_settings(tmp_path):
    # 3 chip header bytes, 2 header words, no footer words, 4-bit data, channel in bits 4..7
    words = [0x0021, 0xEEEE, 0xFFF0, 0xFFF1, 0x0010, 0xEEEE, 0x0000, 0x000F, 0x0000, 0xEEEE, 0xFFFF, 0xFFFE]
    ev = b"\0\0\0" + words_le(words) + b"\0"
    d = parse_one(tmp_path, ev, channels=3, windows=2, samples=1, n_chip_headers=3, n_chip_footers=1,
              n_window_headers=2, n_window_footers=0, data_mask="0xF", chanmask="0xF0", chan_shift=20,
              windmask="0x0F")
    assert d["data"] == [[0.0, 1.0], [15.0, 0.0], [15.0, 14.0]]
    assert d["window_labels"] == [[0, 1], [0, 1], [1, 0]]


@pytest.mark.parametrize("value", ["-1", "1.5", '"2"', "true", "null", "[1]", "02"])
def test_bad_setting_values_take_the_default(tmp_path, value):
    ev = ysk16_event([ysk16_block(1, 1, [5, 6]), ysk16_block(1, 0, [7, 8])])
    d = parse_one(tmp_path, ev, channels=2, windows=2, samples=1, chan_shift=value, N_CHIP_HEADERS=5)
    assert d["data"] == [[], [5.0, 6.0, 7.0, 8.0]]


def test_mask_keeps_low_16_bits(tmp_path):
    ev = ysk16_event([ysk16_block(0, 0, [5])])
    assert parse_one(tmp_path, ev, channels=1, windows=1, samples=1, data_mask="0x1FFFE")["data"] == [[4.0]]


def test_count_keeps_low_32_bits(tmp_path):
    ev = b"\0" + ysk16_event([ysk16_block(0, 0, [5])])  # two chip header bytes
    d = parse_one(tmp_path, ev, channels=1, windows=1, samples=1, n_chip_headers=4294967298)
    assert d["data"] == [[5.0]]


def test_zero_block_size_refused(tmp_path):
    ev = b"\0\0\0"
    assert parse_one(tmp_path, ev, channels=4, windows=0, samples=0, n_window_headers=0,
                     n_window_footers=0) == Failed(1)


def test_overflowing_settings_refused(tmp_path):
    ev = ysk16_event([ysk16_block(0, 0, [1])])
    assert parse_one(tmp_path, ev, channels=1, windows=2**62, samples=8) == Failed(1)


@pytest.mark.parametrize("model", ["YSK16", "ysk16 ", " ysk16", "", "unknown"])
def test_unsupported_model(tmp_path, model):
    ev = ysk16_event([ysk16_block(0, 0, [1])])
    assert parse_one(tmp_path, ev, channels=1, windows=1, samples=1, model=f'"{model}"') == Failed(6)


def test_random_events_never_crash(tmp_path):
    rng = random.Random(7)
    events = [bytes(rng.randrange(256) for _ in range(rng.randrange(60))) for _ in range(200)]
    for got in parse_all(tmp_path, events):
        assert isinstance(got, dict) or got in (Failed(1), Failed(2), Failed(4))


def test_two_calls_give_equal_distinct_dicts(tmp_path):
    root = make_acquisition(tmp_path / "acq", chunks=[[ysk16_event([ysk16_block(0, 0, [1])])]], channels=1, windows=1,
                            samples=1)
    acq = vuzevuz.Acquisition(root)
    a, b = acq.parsed_event(0), acq.parsed_event(0)
    assert a == b and a is not b and a["data"] is not b["data"]
