"""Parsing hestrel events: fixed-length packets closed by a stop word, one window and timing value each."""

import random

import pytest

from formats import hestrel_packet, hestrel_settings, words_be
from parse_support import Failed, family

MODELS = ["hestrelv1_evalr2", "hestrelv2_eval", "hestrelv2_evalr1", "hestrelv2_evalr2"]
DEFAULTS = hestrel_settings()
parse_all, parse_one = family("hestrelv1_evalr2", windows=64)


def timing_of(cfg, w1, w2):
    m = cfg["timing_mask"]
    return ((w1 & m) << cfg["timing_shift"] % 32 | (w2 & m)) & 0xFFFFFFFF


def time_axis(timing, samples):
    firsts = [t[0] for t in timing if t]
    origin = min(firsts)
    out = []
    for t in timing:
        if not t:
            out.append([])
            continue
        d = (t[0] - origin) & 0xFFFFFFFF
        start, end = d * samples % 65536, (d + len(t)) * samples % 65536
        out.append(list(range(start, end)))
    return out


def word(rng, stop, mask=0xFFFF):
    while True:
        w = rng.randrange(0x10000) & mask
        if w != stop:
            return w


def random_event(rng, cfg, channels, samples, n_packets):
    """Accepted packets mixed with all-zero ones, stray segments and a stray tail; returns (bytes, expected)."""
    stop = cfg["stop_word"]
    data = [[] for _ in range(channels)]
    labels = [[] for _ in range(channels)]
    timing = [[] for _ in range(channels)]
    words = [word(rng, stop) for _ in range(rng.randrange(3))] + [stop]  # a short segment first
    for _ in range(n_packets):
        ch = rng.randrange(channels)
        w0 = stop
        while w0 == stop:
            w0 = word(rng, stop) & ~cfg["chanmask"] & 0xFFFF | ch
        w1, w2, w3 = word(rng, stop), word(rng, stop), word(rng, stop)
        values = [word(rng, stop) for _ in range(samples)]
        if rng.random() < 0.2:
            # all its data words 0: passed over, whatever its channel word says
            words += hestrel_packet(cfg, cfg["chanmask"], w1, w2, w3, [0] * samples)
            continue
        if not any(values):
            values[0] = 1
        words += hestrel_packet(cfg, w0, w1, w2, w3, values)
        data[ch] += [float(v) for v in values]
        labels[ch].append(w3 & cfg["abs_wind_mask"])
        timing[ch].append(timing_of(cfg, w1, w2))
        if rng.random() < 0.2:
            words += [word(rng, stop) for _ in range(cfg["words"] - 1 + rng.choice([-1, 1]))] + [stop]
    words += [word(rng, stop) for _ in range(rng.randrange(cfg["words"] + 3))]  # no stop word after it
    if not any(timing):
        return random_event(rng, cfg, channels, samples, n_packets)
    return words_be(words), (data, labels, time_axis(timing, samples), timing)


ROUND_TRIPS = [
    # channels, samples, settings written to the YAML, the same as the parser sees them
    (4, 32, {}, {}),
    (4, 1, {}, {}),
    (3, 20, dict(packet_size=60, headers=6), dict(words=31, headers=6)),
    (2, 30, dict(packet_size=73), {}),  # 73 / 2 + 1 = 37 words
    (8, 10, dict(chanmask="0x7", abs_wind_mask="0xF0", timing_mask="0xFF", timing_shift=40),
     dict(chanmask=7, abs_wind_mask=0xF0, timing_mask=0xFF, timing_shift=8)),
    (5, 12, dict(timing_mask="0xFFFF", timing_shift=16, stop_word="BEEF"),
     dict(timing_mask=0xFFFF, timing_shift=16, stop_word=0xBEEF)),
    (6, 200, dict(packet_size=500), dict(words=251)),
]


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("channels, samples, settings, seen", ROUND_TRIPS)
def test_round_trip(tmp_path, model, channels, samples, settings, seen):
    cfg = {**DEFAULTS, **seen}
    rng = random.Random(f"{model}/{channels}/{samples}/{sorted(settings.items())}")
    events, wanted = [], []
    for n in (1, 2, 5, 17):
        ev, exp = random_event(rng, cfg, channels, samples, n)
        events.append(ev)
        wanted.append(exp)
    results = parse_all(tmp_path, events, model=model, channels=channels, samples=samples, **settings)
    for got, (data, labels, time, timing) in zip(results, wanted):
        assert isinstance(got, dict), got
        assert list(got) == ["data", "window_labels", "time", "timing", "ecc_errors"]
        assert got["data"] == data
        assert got["window_labels"] == labels
        assert got["timing"] == timing
        assert got["time"] == time
        assert got["ecc_errors"] is None


def test_channel_mask_has_no_shift(tmp_path):
    cfg = dict(DEFAULTS, chanmask=0x0007)
    words = hestrel_packet(cfg, 0x1235, 0, 0, 0, [9] * 4)  # 0x1235 & 7 = 5
    got = parse_one(tmp_path, words_be(words), channels=6, samples=4, chanmask=7)
    assert got["data"][5] == [9.0] * 4
    got = parse_one(tmp_path, words_be(words), channels=6, samples=4, chanmask="0x0F00")  # 0x0200: channel 512
    assert got == Failed(2)


def test_two_packets_defaults(tmp_path):
    cfg = DEFAULTS
    a = hestrel_packet(cfg, 0, 0x012, 0x345, 0x47, list(range(1, 33)))
    b = hestrel_packet(cfg, 1, 0, 7, 5, [0] * 31 + [0xFFFF])
    got = parse_one(tmp_path, words_be(a + b), channels=2, samples=32)
    assert got["data"] == [[float(v) for v in range(1, 33)], [0.0] * 31 + [65535.0]]
    assert got["window_labels"] == [[0x07], [5]]
    assert got["timing"] == [[0x12345], [7]]
    # channel 1's first timing value (7) is the earliest
    assert got["time"] == [list(range((0x12345 - 7) * 32 % 65536, (0x12345 - 7 + 1) * 32 % 65536)),
                           list(range(32))]


def test_time_axis_runs_on_from_the_first_timing_value(tmp_path):
    cfg = DEFAULTS
    words = []
    # channel 0 first at timing 10, channel 1 at 12, two packets each; later timing values are not used
    for ch, t in ((0, 10), (1, 12), (0, 500), (1, 3)):
        words += hestrel_packet(cfg, ch, 0, t, 0, [1, 2, 3, 4])
    got = parse_one(tmp_path, words_be(words), channels=3, samples=4)
    assert got["time"] == [list(range(0, 8)), list(range(8, 16)), []]
    assert got["timing"] == [[10, 500], [12, 3], []]


def test_time_axis_wraps_to_empty(tmp_path):
    # d * samples = 65 * 1000 = 65000, end = 66000 mod 65536 = 464: nothing from 65000 to 464
    cfg = dict(DEFAULTS, words=1005)
    words = hestrel_packet(cfg, 0, 0, 0, 0, [1] * 1000) + hestrel_packet(cfg, 1, 0, 65, 0, [2] * 1000)
    got = parse_one(tmp_path, words_be(words), channels=2, samples=1000, packet_size=2008)
    assert got["time"][0] == list(range(1000))
    assert got["time"][1] == []
    assert len(got["data"][1]) == 1000


def test_largest_timing_value(tmp_path):
    cfg = dict(DEFAULTS, timing_mask=0xFFFF, timing_shift=16)
    words = hestrel_packet(cfg, 0, 0xFFFF, 0xFFFF, 0, [1]) + hestrel_packet(cfg, 1, 0, 0, 0, [1])
    got = parse_one(tmp_path, words_be(words), channels=2, samples=1, timing_mask="0xFFFF", timing_shift=16)
    assert got["timing"] == [[4294967295], [0]]
    # d = 2**32 - 1: start (d * 1) mod 65536 = 65535, end (d + 1) * 1 wraps to 0: no time values
    assert got["time"] == [[], [0]]


def test_thirty_three_samples_read_the_stop_word(tmp_path):
    words = [0, 0, 0, 0] + [5] * 32 + [0xFA5A]
    got = parse_one(tmp_path, words_be(words), channels=1, samples=33)
    assert got["data"] == [[5.0] * 32 + [float(0xFA5A)]]
    assert got["time"] == [list(range(33))]


def test_no_headers(tmp_path):
    # word 0 is both the channel word and the first data value; words 1 to 3 still give timing and label
    words = [2, 0x001, 0x002, 0x0003] + [0] * 32 + [0xFA5A]
    got = parse_one(tmp_path, words_be(words), channels=3, samples=4, headers=0)
    assert got["data"] == [[], [], [2.0, 1.0, 2.0, 3.0]]
    assert got["window_labels"] == [[], [], [3]]
    assert got["timing"] == [[], [], [0x1002]]


def test_zero_packets_are_passed_over(tmp_path):
    cfg = DEFAULTS
    # the zero packet's channel (63) would be invalid, but it is never looked at
    words = hestrel_packet(cfg, 63, 0, 1, 0, [0] * 8) + hestrel_packet(cfg, 1, 0, 9, 2, [0] * 7 + [4])
    got = parse_one(tmp_path, words_be(words), channels=2, samples=8)
    assert got["data"] == [[], [0.0] * 7 + [4.0]]
    assert got["timing"] == [[], [9]]


def test_stray_segments_and_tail_are_ignored(tmp_path):
    cfg = DEFAULTS
    good = hestrel_packet(cfg, 0, 0, 0, 1, [7] * 4)
    words = [1] * 35 + [0xFA5A] + good + [2] * 37 + [0xFA5A] + [3] * 40
    got = parse_one(tmp_path, words_be(words), channels=1, samples=4)
    assert got["data"] == [[7.0] * 4]


ERRORS = [
    # event, channels, samples, settings, failure
    (b"\x00", 2, 4, {}, Failed(1)),
    (words_be([0xFA5A]) + b"\x01", 2, 4, {}, Failed(1)),
    (b"", 2, 4, {}, Failed(5)),
    (words_be([1] * 35 + [0xFA5A]), 2, 4, {}, Failed(5)),  # 36 words
    (words_be([1] * 37 + [0xFA5A]), 2, 4, {}, Failed(5)),  # 38 words
    (words_be([1] * 37), 2, 4, {}, Failed(5)),             # no stop word
    (words_be([0xFA5A] * 40), 2, 4, {}, Failed(5)),
    (words_be([1] * 10 + [0xFA5A] + [1] * 25 + [0xFA5A]), 2, 4, {}, Failed(5)),  # a stop word inside the data
    # every failure is found before any channel list is made, however many channels there are
    (b"", 2 ** 64 - 1, 4, {}, Failed(5)),
    (words_be([1] * 35 + [0xFA5A]), 2 ** 64 - 1, 4, {}, Failed(5)),
    (words_be([0xFA5A] * 40), 2 ** 60, 4, {}, Failed(5)),
    (words_be([0] * 36 + [0xFA5A]), 2 ** 64 - 1, 4, {}, Failed(4)),
    (words_be([0] * 36 + [0xFA5A]), 2 ** 60, 34, {}, Failed(1)),
    (words_be([0] * 36 + [0xFA5A]), 2, 4, {}, Failed(4)),   # every data word 0
    (words_be([0, 0, 0, 0, 1, 1, 1] + [0] * 29 + [0xFA5A]), 2, 0, {}, Failed(4)),  # samples 0
    (words_be([1] * 36 + [0xFA5A]), 2, 4, dict(headers=37), Failed(4)),   # no data word in the packet
    (words_be([1] * 36 + [0xFA5A]), 2, 4, dict(headers=2 ** 32 - 1), Failed(4)),
    (words_be([2, 0, 0, 0, 1] + [0] * 31 + [0xFA5A]), 2, 4, {}, Failed(2)),
    (words_be([0, 0, 0, 0, 1] + [0] * 31 + [0xFA5A] + [5, 0, 0, 0, 1] + [0] * 31 + [0xFA5A]), 2, 4, {}, Failed(2)),
    # data words beyond the packet: with the defaults at most 33
    (words_be([0] * 36 + [0xFA5A]), 2, 34, {}, Failed(1)),   # the stop word is looked at and is not 0
    (words_be([0, 0, 0, 0, 1] + [0] * 31 + [0xFA5A]), 2, 2 ** 64 - 1, {}, Failed(1)),
    (words_be([0, 0, 0, 0, 1] + [0] * 31 + [0xFA5A]), 2, 2 ** 64 - 4, {}, Failed(1)),   # headers + samples wraps to 0
    (words_be([0, 0, 0, 0, 1] + [0] * 31 + [0xFA5A]), 2, 10, dict(headers=30), Failed(1)),
    # packets of fewer than four words
    (words_be([1, 0, 0xFA5A]), 2, 1, dict(packet_size=4, headers=0), Failed(1)),
    (words_be([0xFA5A]), 2, 1, dict(packet_size=0, headers=0), Failed(1)),   # one word: the stop word itself
    (words_be([0xFA5A, 0xFA5A]), 2, 1, dict(packet_size=1), Failed(4)),     # headers 4 lie beyond it
]


@pytest.mark.parametrize("event, channels, samples, settings, failure", ERRORS)
def test_errors(tmp_path, event, channels, samples, settings, failure):
    assert parse_one(tmp_path, event, channels=channels, samples=samples, **settings) == failure


@pytest.mark.parametrize("channels", [2 ** 60, 2 ** 64 - 1])
def test_more_channels_than_memory_holds(tmp_path, channels):
    # A packet exists, so the record's channel lists are made: no machine holds that many.
    with pytest.raises(MemoryError):
        parse_one(tmp_path, words_be([0, 0, 0, 0, 1] + [0] * 31 + [0xFA5A]), channels=channels, samples=4)


STOP_WORDS = [
    # YAML value of stop_word, the stop word it selects
    ('"+fa5a"', 0xFA5A), ("0000FA5A", 0xFA5A), ("1FA5A", 0xFA5A), ("ABCD", 0xABCD), ("'abcd'", 0xABCD),
    ('"0000000000000000ABCD"', 0xABCD), ("FFFFFFFF", 0xFFFF), ("0012", 0x0012), ('"7"', 0x0007),
    ("43981", 0xFA5A), ("0xABCD", 0xFA5A), ('"0xABCD"', 0xFA5A), ('""', 0xFA5A), ('"+"', 0xFA5A),
    ('"-"', 0xFA5A), ('"-ABCD"', 0xFA5A), ('"++ABCD"', 0xFA5A), ('"AB CD"', 0xFA5A), ('"ABCD "', 0xFA5A),
    ('"ABCG"', 0xFA5A), ('"100000000"', 0xFA5A), ("1ABCD0000", 0xFA5A), ("null", 0xFA5A), ("[ABCD]", 0xFA5A),
    ("true", 0xFA5A), ("1.5", 0xFA5A),
]


@pytest.mark.parametrize("value, stop", STOP_WORDS)
def test_stop_word_setting(tmp_path, value, stop):
    cfg = dict(DEFAULTS, stop_word=stop)
    # packets closed by `stop` only: any other stop word finds no packet
    words = hestrel_packet(cfg, 0, 0, 1, 2, [3, 4]) + hestrel_packet(cfg, 1, 0, 2, 3, [5, 6])
    assert stop not in words[:36] and 0xFA5A not in words[:36] + words[37:73]
    got = parse_one(tmp_path, words_be(words), channels=2, samples=2, stop_word=value)
    assert isinstance(got, dict), got
    assert got["data"] == [[3.0, 4.0], [5.0, 6.0]]


@pytest.mark.parametrize("key, value", [
    ("chanmask", 0x0F), ("abs_wind_mask", 0x0F), ("timing_mask", 0xF0F), ("timing_shift", 4),
    ("packet_size", 74), ("headers", 5),
])
@pytest.mark.parametrize("bad", ["-1", "1.5", '"12"', "true", "null", "[1]", "{a: 1}"])
def test_unusable_setting_gives_the_default(tmp_path, key, value, bad):
    rng = random.Random(key)
    event, (data, labels, time, timing) = random_event(rng, DEFAULTS, 40, 8, 12)
    reference = parse_one(tmp_path, event, channels=40, samples=8)
    assert (reference["data"], reference["timing"]) == (data, timing)
    # a usable value changes the result; the key in capitals is another key, an unusable value no value
    assert parse_one(tmp_path, event, channels=40, samples=8, **{key: value}) != reference
    assert parse_one(tmp_path, event, channels=40, samples=8, **{key.upper(): value}) == reference
    assert parse_one(tmp_path, event, channels=40, samples=8, **{key: bad}) == reference


def test_masks_keep_their_low_16_bits(tmp_path):
    words = hestrel_packet(DEFAULTS, 0x0009, 0, 0, 0x00FF, [1])
    got = parse_one(tmp_path, words_be(words), channels=2, samples=1, chanmask="0x10007", abs_wind_mask="0x100F0")
    assert got["data"] == [[], [1.0]] and got["window_labels"] == [[], [0xF0]]
    words = hestrel_packet(DEFAULTS, 0x0001, 0, 0, 0x00FF, [1])
    # a count keeps its low 32 bits: packet_size 2**32 + 72 is 72
    got = parse_one(tmp_path, words_be(words), channels=2, samples=1, packet_size=2 ** 32 + 72)
    assert got["data"] == [[], [1.0]]


def check_shape(got, channels, samples):
    for key in ("data", "window_labels", "time", "timing"):
        assert len(got[key]) == channels
    for data, labels, timing in zip(got["data"], got["window_labels"], got["timing"]):
        assert len(labels) == len(timing) and len(data) == len(labels) * samples


def test_truncated_and_padded_events(tmp_path):
    rng = random.Random(3)
    cfg = DEFAULTS
    words = []
    for ch in range(4):
        words += hestrel_packet(cfg, ch, 0, ch, 0, [word(rng, cfg["stop_word"]) | 1 for _ in range(32)])
    event = words_be(words)
    cuts = [event[:n] for n in range(len(event))]
    pads = [event + bytes([b]) * n for b in (0x00, 0xFA, 0x5A) for n in range(1, 80)]
    results = parse_all(tmp_path, cuts + pads, channels=4, samples=32)
    for ev, got in zip(cuts + pads, results):
        if len(ev) % 2:
            assert got == Failed(1)
        elif len(ev) < 74:
            assert got == Failed(5)
        else:
            assert isinstance(got, dict), got
            check_shape(got, 4, 32)
    # each whole packet is parsed, the cut one is not
    assert [len(d) for d in results[4 * 74 - 2]["data"]] == [32, 32, 32, 0]


@pytest.mark.parametrize("settings", [{}, dict(packet_size=6, headers=0), dict(packet_size=8, stop_word='"0"')])
def test_random_events(tmp_path, settings):
    rng = random.Random(str(settings))
    stop = 0 if settings.get("stop_word") else 0xFA5A
    events = [bytes(rng.randrange(256) for _ in range(rng.randrange(12))) for _ in range(200)]
    events += [words_be([rng.choice([stop, stop, rng.randrange(0x10000), 0, 1]) for _ in range(rng.randrange(60))])
               for _ in range(400)]
    allowed = (Failed(1), Failed(2), Failed(4), Failed(5))
    for got in parse_all(tmp_path, events, channels=8, samples=2, **settings):
        if isinstance(got, dict):
            check_shape(got, 8, 2)
        else:
            assert got in allowed
