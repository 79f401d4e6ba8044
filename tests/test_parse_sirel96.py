"""The sirel96 parser, through Acquisition.parsed_event."""

import random

import pytest

from formats import effective_settings, sirel96_event, sirel96_one_chip, sirel96_sample_word, words_le
from parse_support import Failed, assert_same, expected_dict, parse_all, parse_one

NO_ECC = [[] for _ in range(96)]


def generate(rng, s, channels, windows, samples, n_chips):
    """A valid event of random chips and blocks, with the lists it must parse into."""
    cpc = channels // s["num_chips"]
    shift = s["chan_shift"] % 16
    in_chip_max = s["chanmask"] >> shift
    data = [[] for _ in range(96)]
    labels = [[] for _ in range(96)]
    chips = []
    w = windows % 65536
    for _ in range(n_chips):
        number = rng.choice([n for n in range(64) if n * cpc < 96])
        blocks = []
        for _ in range(cpc):
            in_chip = rng.randint(0, min(in_chip_max, 95 - number * cpc))
            start = rng.randint(0, s["windmask"])
            header = (in_chip << shift) | start
            values = [rng.randint(0, s["data_mask"]) for _ in range(windows * samples)]
            c = number * cpc + in_chip
            data[c] += values
            if w and start + w <= 0xFFFF:
                labels[c] += [(start + k) % w for k in range(w)]
            blocks.append((header, [sirel96_sample_word(v, s["data_mask"], rng) for v in values]))
        chips.append((number | rng.choice([0, 0x40, 0x80, 0xC0]), blocks))
    return sirel96_event(chips, s, rng), data, labels


ROUND_TRIPS = [
    # channels, windows, samples, settings
    (96, 4, 3, {}),
    (96, 8, 2, dict(num_chips=3, n_chip_headers=3, n_chip_footers=1, n_event_footers=0)),
    (96, 3, 2, dict(n_window_headers=3, n_window_footers=0, data_mask=0xFFF, chanmask=0x7F00, windmask=0x3F)),
    (96, 5, 1, dict(chanmask=0xFC00, chan_shift=10, windmask=0x3FF, n_chip_footers=5, n_event_footers=6)),
    # narrowed settings: shift 24 acts as 8, counts and masks keep their low bits
    (96, 4, 2, dict(chan_shift=24, n_chip_headers=4294967298, data_mask="0x10FFF", num_chips=4294967302)),
    # 32 channels on 6 chips: 5 per chip, indices up to 95 still kept, time only below 32
    (32, 4, 2, {}),
    (16, 2, 3, dict(num_chips=1)),
    (96, 0, 3, {}),
    (96, 4, 0, {}),
    (0, 4, 2, {}),
]


@pytest.mark.parametrize("channels,windows,samples,given", ROUND_TRIPS)
def test_round_trip(tmp_path, channels, windows, samples, given):
    rng = random.Random(f"{channels}-{windows}-{samples}-{given}")
    s = effective_settings("sirel96", given)
    events, wants = [], []
    for n_chips in (0, 1, 2, 5):
        ev, data, labels = generate(rng, s, channels, windows, samples, n_chips)
        if len(ev) % 2 or not ev:
            continue
        events.append(ev)
        wants.append(expected_dict(data, labels, channels, windows, samples, NO_ECC))
    assert events
    for got, want in zip(parse_all(tmp_path, events, model="sirel96", channels=channels, windows=windows,
                                   samples=samples, **given), wants):
        assert_same(got, want)


def full_board(rng, n_chips, windows=64, samples=64):
    """The usual readout: chips 0 to n-1, each with its 16 channels in order."""
    s = effective_settings("sirel96")
    chips = []
    for number in range(n_chips):
        blocks = [((ch << 8) | rng.randint(0, 63),
                   [sirel96_sample_word(rng.randint(0, 1023), 0x3FF, rng) for _ in range(windows * samples)])
                  for ch in range(16)]
        chips.append((number, blocks))
    return sirel96_event(chips, s, rng)


def test_full_board_lengths(tmp_path):
    rng = random.Random(1)
    six, five = full_board(rng, 6), full_board(rng, 5)
    assert (len(six), len(five)) == (786842, 655702)
    got = parse_all(tmp_path, [six, five, five + b"\0", five + b"\0\0"], model="sirel96", channels=96,
                    windows=64, samples=64)
    assert [len(row) for row in got[0]["data"]] == [4096] * 96
    assert [len(row) for row in got[1]["data"]] == [4096] * 80 + [0] * 16
    assert got[0]["time"][95] == list(range(4096))
    assert got[2:] == [Failed(1), Failed(1)]


@pytest.mark.parametrize("event,given,code", [
    (b"", {}, 4),
    (b"\0", {}, 1),
    (b"\0" * 29, dict(n_event_footers=1), 1),  # odd, although one chip block and the footer fit
    (b"\0" * 24, {}, 1),  # not a whole number of 28-byte chip blocks
    (b"\0" * 2, dict(n_event_footers=4), 1),  # shorter than the event footer
    (b"\0" * 30, dict(num_chips=0), 1),
    (b"\0" * 2, dict(num_chips=4294967296), 1),  # low 32 bits 0
    (b"\0" * 2, dict(n_chip_headers=0, n_chip_footers=0, num_chips=13), 1),  # no channel per chip: no chip size
])
def test_length_failures(tmp_path, event, given, code):
    # 12 channels on 6 chips, 2 windows of 2 samples: a chip block is 1 + 2 * 2 * 6 + 3 = 28 bytes
    assert parse_one(tmp_path, event, model="sirel96", channels=12, windows=2, samples=2, **given) == Failed(code)


@pytest.mark.parametrize("chip_byte,in_chip,channel", [
    (0x42, 5, 37),  # chip 2 (bits 6, 7 ignored), 16 per chip
    (0xC5, 15, 95),
    (0x06, 0, None),  # chip 6 starts at 96
    (0x00, 96, None),
    (0x3F, 0, None),
])
def test_board_channel(tmp_path, chip_byte, in_chip, channel):
    ev = sirel96_one_chip(chip_byte, [in_chip << 8 | 1] + [0] * 15, samples=(0xFFFE, 0xFFFD, 0, 0xFC00))
    got = parse_one(tmp_path, ev, model="sirel96", channels=96, windows=2, samples=2)
    if channel is None:
        assert got == Failed(2)
        return
    assert got["data"][channel] == [1.0, 2.0, 1023.0, 1023.0]
    assert got["window_labels"][channel] == [1, 0]
    assert got["time"][channel] == [0, 1, 2, 3]


def test_channel_number_does_not_wrap(tmp_path):
    # In-chip channel 65520 on chip 1 with 16 per chip is board channel 65536, not 0.
    given = dict(chanmask=0xFFFF, chan_shift=0, windmask=0)
    for in_chip, want in ((65520, Failed(2)), (15, None)):
        ev = sirel96_one_chip(0x01, [in_chip] + [0] * 15)
        got = parse_one(tmp_path, ev, model="sirel96", channels=96, windows=2, samples=2, **given)
        if want:
            assert got == want
        else:
            assert got["data"][31] == [1023.0] * 4 and got["window_labels"][31] == [0, 1]


def test_bad_channel_in_a_later_chip(tmp_path):
    good = sirel96_one_chip(0, [c << 8 for c in range(16)], tail=b"")
    bad = sirel96_one_chip(1, [c << 8 for c in range(15)] + [0xFF00], tail=b"")
    got = parse_all(tmp_path, [good + good + b"\0\0", good + bad + b"\0\0"], model="sirel96", channels=96,
                    windows=2, samples=2)
    assert got[0]["data"][0] == [1023.0] * 8 and got[1] == Failed(2)


def test_channels_above_96(tmp_path):
    good = sirel96_one_chip(0, [c << 8 for c in range(16)])
    bad = sirel96_one_chip(6, [0] * 16)
    got = parse_all(tmp_path, [good, b"\0\0", bad], model="sirel96", channels=100, windows=2, samples=2,
                    num_chips=6)
    # 100 // 6 = 16 per chip; the time axis has no list 96; a bad channel is found first
    assert got == [Failed(4), Failed(4), Failed(2)]


def test_loose_channel_layout(tmp_path):
    # 32 channels on 6 chips: 5 per chip, yet in-chip channel 7 of chip 1 is kept at 12.
    ev = sirel96_one_chip(1, [7 << 8 | 2] + [0] * 4)
    got = parse_one(tmp_path, ev, model="sirel96", channels=32, windows=4, samples=1)
    assert got["window_labels"][12] == [2, 3, 0, 1]
    assert got["window_labels"][5] == [0, 1, 2, 3] * 4
    # 16 channels: index 20 keeps its data and labels but gets no time
    ev = sirel96_one_chip(0, [20 << 8] + [c << 8 for c in range(1, 16)])
    got = parse_one(tmp_path, ev, model="sirel96", channels=16, windows=4, samples=1, num_chips=1)
    assert got["window_labels"][20] == [0, 1, 2, 3] and got["data"][20] == [1023.0] * 4
    assert got["time"][20] == [] and got["time"][1] == [0, 1, 2, 3]


def test_empty_board(tmp_path):
    got = parse_one(tmp_path, b"\xff\xff", model="sirel96", channels=96, windows=4, samples=2)
    assert_same(got, expected_dict([[]] * 96, [[]] * 96, 96, 4, 2, NO_ECC))


@pytest.mark.parametrize("windows,start,labels", [
    (4, 6, [2, 3, 0, 1]),
    (8, 5, [5, 6, 7, 0, 1, 2, 3, 4]),
    (32, 0xFFF0, []),  # start + windows beyond 65535: samples kept, no labels
    (65536 + 2, 1, [1, 0]),  # windows taken modulo 65536 for the labels
])
def test_labels(tmp_path, windows, start, labels):
    given = dict(chanmask=0, windmask=0xFFFF, num_chips=1)
    words = [start] + [0] * windows + [0]
    ev = b"\0" + words_le(words) + bytes(3) + b"\0\0"
    got = parse_one(tmp_path, ev, model="sirel96", channels=1, windows=windows, samples=1, **given)
    assert got["window_labels"][0] == labels
    assert got["data"][0] == [1023.0] * windows


def test_no_chip_header(tmp_path):
    # Byte 0 is the chip number and also the low byte of the first block's header word.
    words = [0x0142, 0xFFFE, 0, 0x0000, 0, 0]
    ev = words_le(words) + bytes(4) + b"\0\0"
    got = parse_one(tmp_path, ev, model="sirel96", channels=12, windows=1, samples=1, n_chip_headers=0,
                    n_chip_footers=4)
    # chip 2, 2 per chip: block 0 (in-chip 1, label 0x42 mod 1) -> 5; block 1 (in-chip 0) -> 4
    assert got["data"][5] == [1.0] and got["window_labels"][5] == [0]
    assert got["data"][4] == [1023.0]


def test_zero_block_size(tmp_path):
    # windows 0 with no header or footer words: no block size, refused once a chip block is present
    given = dict(n_window_headers=0, n_window_footers=0, n_chip_footers=1)
    got = parse_all(tmp_path, [b"\x01\x00\0\0", b"\0\0"], model="sirel96", channels=96, windows=0, samples=5,
                    **given)
    assert got[0] == Failed(1)
    assert got[1]["data"] == [[]] * 96


@pytest.mark.parametrize("channels,windows,samples", [
    (96, 2**33, 2**33),  # windows * samples beyond a machine word
    (2**63, 1, 1),  # channels per chip * block * 2 beyond a machine word
    (96, 1, 2**64 - 1),  # block size beyond a machine word
])
def test_sizes_beyond_a_word(tmp_path, channels, windows, samples):
    got = parse_all(tmp_path, [b"\0\0", b"\0" * 64], model="sirel96", channels=channels, windows=windows,
                    samples=samples, num_chips=1)
    assert got == [Failed(1), Failed(1)]


def test_damaged_events(tmp_path):
    rng = random.Random(7)
    ev, data, labels = generate(rng, effective_settings("sirel96"), 96, 4, 2, 3)
    chip = (len(ev) - 2) // 3
    cut = [ev[:n] for n in (1, 3, 4, chip, len(ev) - 1, len(ev) - 2, len(ev) - 4)]
    padded = [ev + b"\0" * n for n in (1, 2, 4, chip - 2)]
    # in-chip channel 0x7F in the high byte of the third chip's first header word
    mislabelled = bytearray(ev)
    mislabelled[2 * chip + 2] = 0x7F
    got = parse_all(tmp_path, [ev, *cut, *padded, bytes(mislabelled)], model="sirel96", channels=96, windows=4,
                    samples=2)
    assert_same(got[0], expected_dict(data, labels, 96, 4, 2, NO_ECC))
    assert got[1:] == [Failed(1)] * (len(cut) + len(padded)) + [Failed(2)]


def test_random_bytes(tmp_path):
    # Random content must parse or fail with a ParsingError; lengths near the chip size included.
    rng = random.Random(11)
    events = [rng.randbytes(n) for n in [2, 3, 26, 50, 74, 98] + [rng.randint(1, 400) for _ in range(40)]]
    for given in ({}, dict(chanmask=0xFFFF, chan_shift=0), dict(n_chip_headers=0, n_event_footers=0)):
        for got in parse_all(tmp_path, events, model="sirel96", channels=96, windows=2, samples=5, **given):
            assert isinstance(got, dict) or got in (Failed(1), Failed(2))


def test_blocks_without_labels_reserve_none(tmp_path):
    # 4 Mi one-word channel blocks of channel 0 whose first label is 1: with 65535 windows none of
    # them gets labels (1 + 65535 exceeds 65535), though labels for every block would take half a
    # terabyte. Only the first block, whose first label is 0, gets its turn of the ring.
    settings = dict(num_chips=96, n_chip_headers=1, n_chip_footers=1, n_window_headers=1, n_window_footers=0,
                    n_event_footers=0)
    labelled = bytes([0]) + words_le([0x0000]) + bytes(1)
    unlabelled = bytes([0]) + words_le([0x0001]) + bytes(1)
    ev = parse_one(tmp_path, labelled + unlabelled * (4 << 20), model="sirel96", channels=96, windows=65535,
                   samples=0, **settings)
    assert ev["data"] == [[]] * 96
    assert ev["window_labels"] == [list(range(65535))] + [[]] * 95
    assert ev["time"] == [[]] * 96
