"""Parsing quimbra events: chips between stop words, windows of header words and samples."""

import random

import pytest

from formats import effective_settings, quimbra_event, words_be
from parse_support import Failed, family, time_axis

DEFAULTS = effective_settings("quimbra")
parse_all, parse_one = family("quimbra_pellam")


def expected(chips, cfg, channels, windows, samples):
    per_chip = channels // cfg["num_chips"]
    data = [[] for _ in range(channels)]
    labels = [[] for _ in range(channels)]
    for chip, wins in chips:
        for inchip, label, values in wins:
            c = chip * per_chip + inchip
            labels[c].append(label & cfg["windmask"])
            data[c] += [float(v & cfg["databitmask"]) for v in values]
    time = [time_axis(lab, windows, samples) for lab in labels]
    return data, labels, time


def random_chips(rng, cfg, channels, windows, samples, windows_per_chip, avoid):
    per_chip = channels // cfg["num_chips"]
    chips = []
    for chip in range(cfg["num_chips"]):
        if per_chip == 0:
            break
        wins = []
        start = rng.randrange(windows)
        for k in range(windows_per_chip):
            inchip = rng.randrange(per_chip)
            label = (start + k) % windows
            values = []
            while len(values) < samples:
                v = rng.randrange(0x10000)
                if v != avoid:
                    values.append(v)
            wins.append((inchip, label, values))
        chips.append((chip, wins))
    return chips


ROUND_TRIPS = [
    # channels, windows, samples, settings beyond the defaults
    (8, 8, 4, {}),
    (5, 16, 3, {}),  # chans_per_chip rounds down to 2
    (16, 32, 6, dict(num_chips=4, n_chip_headers=1, n_window_headers=3)),
    (12, 64, 2, dict(num_chips=3, chanmask=0xF000, chan_shift=12, windmask=0x3F, databitmask=0x3FFF,
                     chip_stop_word=0xABCD)),
    (8, 4, 5, dict(chan_shift=24)),  # the shift keeps its low 4 bits: 8
    (6, 8, 0, dict(num_chips=3)),  # windows of header words only
    (4, 256, 1, dict(n_chip_headers=0, num_chips=1, chanmask=0x0C00, chan_shift=10)),
]


@pytest.mark.parametrize("model", ["quimbra_pellam", "quimbra_korvex"])
@pytest.mark.parametrize("channels, windows, samples, settings", ROUND_TRIPS)
def test_round_trip(tmp_path, model, channels, windows, samples, settings):
    rng = random.Random(f"{channels}/{windows}/{samples}/{sorted(settings.items())}")
    cfg = effective_settings("quimbra", settings)
    events, wanted = [], []
    for n_windows in (1, 3, 7):
        chips = random_chips(rng, cfg, channels, windows, samples, n_windows, cfg["chip_stop_word"])
        events.append(quimbra_event(chips, cfg))
        wanted.append(expected(chips, cfg, channels, windows, samples))
    # The settings are written as the YAML integers they are, in hexadecimal for the masks.
    written = {k: hex(v) if "mask" in k or "word" in k else v for k, v in settings.items()}
    results = parse_all(tmp_path, events, model=model, channels=channels, windows=windows, samples=samples, **written)
    for got, (data, labels, time) in zip(results, wanted):
        assert isinstance(got, dict), got
        assert list(got) == ["data", "window_labels", "time", "timing", "ecc_errors"]
        assert got["data"] == data
        assert got["window_labels"] == labels
        assert got["time"] == time
        assert got["timing"] is None and got["ecc_errors"] is None


def test_ring_axis_wraps_and_channels_without_windows_stay_empty(tmp_path):
    # chip 1 of channels 8: in-chip 2 gives channel 6; labels 6, 7, 0 of a ring of 8
    chips = [(1, [(2, 6, [1, 2]), (2, 7, [3, 4]), (2, 0, [5, 0xFFF])])]
    got = parse_one(tmp_path, quimbra_event(chips, DEFAULTS), channels=8, windows=8, samples=2)
    assert got["data"] == [[]] * 6 + [[1.0, 2.0, 3.0, 4.0, 5.0, 4095.0], []]
    assert got["window_labels"][6] == [6, 7, 0]
    assert got["time"][6] == [0, 1, 2, 3, 4, 5]
    assert all(got["time"][c] == [] for c in range(8) if c != 6)


@pytest.mark.parametrize("header, channel, label", [
    (0x01FE, 1, 254),  # label and in-chip channel are taken unshifted from their masks
    (0x0300, 3, 0),    # in-chip 3 is not checked against chans_per_chip (2): it lands in channel 3
    (0xFCFF, 0, 255),  # bits outside both masks are ignored
])
def test_window_header(tmp_path, header, channel, label):
    words = [0x0000, 1, 2, header, 0x0ABC, 0xFFFF]
    got = parse_one(tmp_path, words_be(words), channels=4, windows=256, samples=1)
    assert got["window_labels"][channel] == [label]
    assert got["data"][channel] == [float(0xABC)]


def test_sample_bits_above_the_mask_are_dropped(tmp_path):
    got = parse_one(tmp_path, words_be([0, 1, 2, 0x0005, 0xF123, 0x8FFF, 0xFFFF]), channels=2, windows=8, samples=2)
    assert got["data"][0] == [float(0x123), 4095.0]


def test_piece_of_only_chip_headers_adds_nothing(tmp_path):
    # The first piece's chip number (15) would be out of range, but a piece without windows is not read.
    words = [0xF000, 1, 2, 0xFFFF, 0x1000, 1, 2, 0x0102, 7, 0xFFFF]
    got = parse_one(tmp_path, words_be(words), channels=4, windows=8, samples=1)
    assert got["data"] == [[], [], [], [7.0]]
    assert got["window_labels"] == [[], [], [], [2]]


ERRORS = [
    # words (or raw bytes), channels, windows, samples, settings, failure
    (b"", 4, 8, 1, {}, Failed(4)),
    (b"\x00\x01\x02", 4, 8, 1, {}, Failed(1)),
    (words_be([0xFFFF]), 4, 8, 1, {}, Failed(1)),                   # only the unread last word: one empty piece
    (words_be([0, 1, 2, 0x0001, 5, 0xFFFF, 0]), 4, 8, 1, {}, Failed(1)),   # stop word second to last: empty last piece
    (words_be([0, 1, 2, 0x0001, 5, 0xFFFF, 0xFFFF, 0, 1, 2, 0xFFFF]), 4, 8, 1, {}, Failed(1)),  # adjacent stop words
    (words_be([0xFFFF, 0, 1, 2, 0x0001, 5, 0xFFFF]), 4, 8, 1, {}, Failed(1)),   # stop word first: empty first piece
    (words_be([0, 1, 0xFFFF]), 4, 8, 1, {}, Failed(1)),              # piece shorter than its headers
    (words_be([0, 1, 2, 0x0001, 5, 6, 0xFFFF]), 4, 8, 1, {}, Failed(1)),  # not a whole number of windows
    (words_be([0, 1, 2, 0x0001, 5, 0xFFFF, 0x1000, 1, 2, 0x0001, 5]), 4, 8, 1, {}, Failed(1)),  # second piece bad
    (words_be([0, 1, 2, 0x0001, 0xFFFF, 0xFFFF]), 4, 8, 1, {}, Failed(1)),  # a sample equal to the stop word
    (words_be([0x2000, 1, 2, 0x0000, 5, 0xFFFF]), 8, 8, 1, {}, Failed(2)),  # chip 2 of chans_per_chip 4
    (words_be([0x1000, 1, 2, 0x0300, 5, 0xFFFF]), 6, 8, 1, {}, Failed(2)),  # 1 * 3 + 3
    (words_be([0x0000, 1, 2, 0x0300, 5, 0xFFFF]), 2, 8, 1, {}, Failed(2)),
    # a piece fails before a later one is looked at, and the reverse
    (words_be([0x2000, 1, 2, 0x0000, 5, 0xFFFF, 0, 1]), 8, 8, 1, {}, Failed(2)),
    (words_be([0, 1, 2, 0x0000, 5, 0xFFFF, 0, 1, 0xFFFF, 0x2000, 1, 2, 0, 5, 0xFFFF]), 8, 8, 1, {}, Failed(1)),
    # settings outside the format
    (words_be([0, 1, 2, 0x0001, 5, 0xFFFF]), 4, 8, 1, dict(num_chips=0), Failed(1)),
    (words_be([0, 1, 2, 0xFFFF]), 4, 8, 0, dict(n_window_headers=0), Failed(1)),     # windows of no words
    (words_be([0, 1, 2, 0x0001, 0xFFFF]), 4, 8, 2 ** 64 - 1, {}, Failed(1)),        # window size beyond a word
    (words_be([0x0001, 5, 0xFFFF, 0xFFFF, 0x0001, 6, 0xFFFF]), 4, 8, 1, dict(n_chip_headers=0), Failed(1)),
    (words_be([0x0001, 5, 0xFFFF, 0xFFFF]), 4, 8, 1, dict(n_chip_headers=0), Failed(1)),  # area ends with a stop word
    # every failure is found before the record's channel lists are made, however many there are
    (words_be([0, 1, 0xFFFF]), 2 ** 60, 8, 1, {}, Failed(1)),
    (words_be([0xF000, 1, 2, 0x0000, 5, 0xFFFF]), 2 ** 60, 8, 1, {}, Failed(2)),   # 15 * 2^59 + 0
]


@pytest.mark.parametrize("channels", [2 ** 60, 2 ** 64 - 1])
def test_more_channels_than_memory_holds(tmp_path, channels):
    with pytest.raises(MemoryError):
        parse_one(tmp_path, words_be([0, 1, 2, 0x0001, 5, 0xFFFF]), channels=channels, windows=8, samples=1)


@pytest.mark.parametrize("event, channels, windows, samples, settings, failure", ERRORS)
def test_errors(tmp_path, event, channels, windows, samples, settings, failure):
    assert parse_one(tmp_path, event, channels=channels, windows=windows, samples=samples, **settings) == failure


@pytest.mark.parametrize("key, value", [
    ("num_chips", 4), ("databitmask", 0x0F0), ("chanmask", 0x100), ("chan_shift", 9),
    ("windmask", 0x03), ("chip_stop_word", 0x0777), ("n_chip_headers", 2), ("n_window_headers", 2),
])
@pytest.mark.parametrize("bad", ["-1", "1.5", '"12"', "true", "null", "[1]", "{a: 1}"])
def test_unusable_setting_gives_the_default(tmp_path, key, value, bad):
    rng = random.Random(key)
    chips = random_chips(rng, DEFAULTS, 8, 8, 3, 4, 0xFFFF)
    event = quimbra_event(chips, DEFAULTS)
    reference = parse_one(tmp_path, event, channels=8, windows=8, samples=3)
    assert reference["data"] == expected(chips, DEFAULTS, 8, 8, 3)[0]
    # a usable value changes the result; the key in capitals is another key, an unusable value no value
    assert parse_one(tmp_path, event, channels=8, windows=8, samples=3, **{key: value}) != reference
    assert parse_one(tmp_path, event, channels=8, windows=8, samples=3, **{key.upper(): value}) == reference
    assert parse_one(tmp_path, event, channels=8, windows=8, samples=3, **{key: bad}) == reference


def test_mask_keeps_its_low_16_bits(tmp_path):
    cfg = dict(DEFAULTS, databitmask=0xFFFF)
    got = parse_one(tmp_path, quimbra_event([(0, [(0, 1, [0xFFF0])])], cfg), channels=4, windows=8, samples=1,
                    databitmask="0x1FFFF")
    assert got["data"][0] == [float(0xFFF0)]


def test_count_keeps_its_low_32_bits(tmp_path):
    # num_chips 4294967300 is 4: chip 1, in-chip 1 is channel 2 * 1 + 1 (with 2 chips it would be 5)
    got = parse_one(tmp_path, words_be([0x1000, 1, 2, 0x0100, 9, 0xFFFF]), channels=8, windows=8, samples=1,
                    num_chips=2 ** 32 + 4)
    assert got["data"][3] == [9.0]


def check_shape(got, channels, samples):
    assert len(got["data"]) == len(got["window_labels"]) == len(got["time"]) == channels
    for data, labels, time in zip(got["data"], got["window_labels"], got["time"]):
        assert len(data) == len(labels) * samples == len(time)


def test_truncated_and_padded_events(tmp_path):
    cfg = DEFAULTS
    chips = random_chips(random.Random(7), cfg, 8, 16, 4, 5, 0xFFFF)
    event = quimbra_event(chips, cfg)
    cuts = [event[:n] for n in range(len(event))]
    pads = [event + b"\x00" * n for n in range(1, 12)] + [event + b"\xff" * n for n in range(1, 12)]
    results = parse_all(tmp_path, cuts + pads, channels=8, windows=16, samples=4)
    for ev, got in zip(cuts + pads, results):
        if len(ev) == 0:
            assert got == Failed(4)
        elif len(ev) % 2:
            assert got == Failed(1)
        elif isinstance(got, dict):
            check_shape(got, 8, 4)
        else:
            assert got == Failed(1)
    # One word less leaves the last window short; one word more makes the stop word part of the chip.
    assert results[len(event) - 2] == Failed(1)
    assert results[len(cuts) + 1] == Failed(1)


@pytest.mark.parametrize("settings", [{}, dict(n_chip_headers=0, n_window_headers=0), dict(chip_stop_word=0)])
def test_random_events(tmp_path, settings):
    rng = random.Random(str(settings))
    events = [bytes(rng.randrange(256) for _ in range(rng.randrange(40))) for _ in range(300)]
    # Dense stop words so that short pieces and windows come up often.
    stop = effective_settings("quimbra", settings)["chip_stop_word"]
    events += [words_be([rng.choice([stop, rng.randrange(0x10000), 0x0101]) for _ in range(rng.randrange(1, 20))])
               for _ in range(300)]
    for got in parse_all(tmp_path, events, channels=8, windows=8, samples=1, **settings):
        if isinstance(got, dict):
            check_shape(got, 8, 1)
        else:
            assert got in (Failed(1), Failed(2), Failed(4))
