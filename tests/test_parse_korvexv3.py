"""The korvexv3 parser and pellamv2, which reads the same format, through Acquisition.parsed_event."""

import random

import pytest

from formats import effective_settings, korvexv3_event, korvexv3_window as win, korvexv3_words, noisy
from parse_support import Failed, assert_same, expected_dict, parse_all, parse_one

MODELS = ["korvexv3", "pellamv2"]


def header_word(channel, label, s, rng):
    nlb = s["n_last_bits"] % 16
    return (noisy(channel, s["chanmask"], s["chan_shift"] % 16, rng, keep_out=s["windmask"])
            & ~s["windmask"] | label << nlb)


def generate(rng, s, channels, samples, n_windows, listed):
    """A valid event whose first windows name the channels of `listed` (each at least once, in a
    random order) and whose later windows name random channels; with the lists it parses into."""
    m = min(channels, n_windows)
    assert len(listed) <= m
    order = list(listed) + [rng.choice(listed) for _ in range(m - len(listed))]
    rng.shuffle(order)
    chan_max = s["chanmask"] >> (s["chan_shift"] % 16)
    order += [rng.randint(0, chan_max) for _ in range(n_windows - m)]
    nlb = s["n_last_bits"] % 16
    label_max = s["windmask"] >> nlb
    value_max = s["databitmask"] >> nlb
    per_window = samples + s["n_window_headers"] - 1
    data = [[] for _ in range(channels)]
    labels = [[] for _ in range(channels)]
    windows = []
    for j, named in enumerate(order):
        label = rng.randint(0, label_max)
        values = [rng.randint(0, value_max) for _ in range(per_window)]
        owner = sorted(listed)[j % len(listed)]
        data[owner] += values
        labels[owner].append(label)
        windows.append((header_word(named, label, s, rng), [noisy(v, s["databitmask"], nlb, rng) for v in values]))
    return korvexv3_event(windows, s, rng), data, labels


def valid_window_counts(s, samples, low, count):
    """Window counts from `low` on for which an event passes both length checks."""
    out = []
    r = samples + s["n_window_headers"]
    for w in range(low, low + 200):
        n = s["n_event_headers"] + w * r + s["n_footers"] - 1
        if (n - s["n_event_headers"] - 1) % (samples + 1) == 0:
            out.append(w)
        if len(out) == count:
            break
    return out


ROUND_TRIPS = [
    # channels, windows, samples, settings
    (4, 16, 3, {}),
    (4, 8, 2, dict(databitmask=0xFFF, n_last_bits=0, chanmask=0x7000, chan_shift=12, windmask=0xFF)),
    (2, 8, 1, dict(n_event_headers=5, n_footers=4)),
    (3, 8, 2, dict(n_window_headers=2)),  # a window holds samples + 1 data words
    (4, 8, 3, dict(chan_shift=25, n_last_bits=17, databitmask="0x11FFF")),  # low bits kept, shifts mod 16
    (4, 8, 0, {}),  # header words only
    (3, 8, 0, dict(n_event_headers=2, n_footers=1)),
    (8, 4, 2, dict(chanmask=0x1E00)),  # a wider channel field
]


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("channels,windows,samples,given", ROUND_TRIPS)
def test_round_trip(tmp_path, model, channels, windows, samples, given):
    rng = random.Random(f"{channels}-{windows}-{samples}-{given}")
    s = effective_settings("korvexv3", given)
    chan_max = min(channels - 1, s["chanmask"] >> (s["chan_shift"] % 16))
    events, wants = [], []
    for n_listed in range(1, min(channels, chan_max + 1) + 1):
        for n_windows in valid_window_counts(s, samples, n_listed, 3):
            listed = rng.sample(range(chan_max + 1), n_listed)
            ev, data, labels = generate(rng, s, channels, samples, n_windows, listed)
            events.append(ev)
            wants.append(expected_dict(data, labels, channels, windows, samples))
    assert events
    for got, want in zip(parse_all(tmp_path, events, model=model, channels=channels, windows=windows,
                                   samples=samples, **given), wants):
        assert_same(got, want)


@pytest.mark.parametrize("model", MODELS)
def test_windows_dealt_by_position(tmp_path, model):
    evs = [
        # 16 words: 3 header words, four windows naming 0, 1, 0, 1, one trailing word
        korvexv3_words(win(0, 1, 10, 11), win(1, 2, 20, 21), win(0, 3, 30, 31), win(1, 4, 40, 41), tail=(0xFFFF,)),
        # first windows name 1 and 0: the list is [0, 1] and window 0 still goes to channel 0
        korvexv3_words(win(1, 1, 10, 11), win(0, 2, 20, 21), win(3, 3, 30, 31), win(2, 4, 40, 41)),
    ]
    got = parse_all(tmp_path, evs, model=model, channels=2, windows=8, samples=2)
    for g in got:
        assert g["data"] == [[10.0, 11.0, 30.0, 31.0], [20.0, 21.0, 40.0, 41.0]]
        assert g["window_labels"] == [[1, 3], [2, 4]]
        assert g["time"] == [[0, 1, 4, 5], [0, 1, 4, 5]]
    # four channels, first four windows all name 3: every window goes to 3
    ev = korvexv3_words(*[win(3, k, k) for k in range(6)], tail=(0,))
    got = parse_one(tmp_path, ev, model=model, channels=4, windows=8, samples=1)
    assert got["data"] == [[], [], [], [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]]
    assert got["window_labels"][3] == [0, 1, 2, 3, 4, 5]


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("ev,channels,samples,given,code", [
    (b"", 2, 2, {}, 4),
    (b"\0\0", 2, 2, {}, 1),
    (b"\0" * 5, 2, 2, {}, 1),
    (b"\0" * 4, 2, 0, {}, 1),  # 2 words: the payload would end before the event header does
    (b"\0" * 36, 2, 2, {}, 1),  # 18 words: 14 payload words are no whole number of 3-word windows
    (b"\0" * 14, 2, 2, dict(n_window_headers=2), 1),  # 7 words: 3 payload words, windows of 4
    (b"\0" * 18, 2, 1, dict(n_window_headers=0), 1),  # 9 words: windows of 1 word fit, the divisor 2 does not
    (b"\0" * 10, 2, 0, dict(n_window_headers=0), 1),  # windows of no word
    (b"\0" * 10, 2, 0, dict(n_footers=0), 1),  # the payload would end past the event
    (b"\0" * 8, 2, 0, dict(n_footers=5), 1),  # the payload would end before it starts
    (b"\0" * 10, 2, 2**64 - 1, {}, 1),  # samples + 1 beyond a machine word
    (b"\0" * 10, 2, 0, dict(n_event_headers=2**32 - 1), 1),
    (b"\0" * 8, 2, 2**64 - 2, dict(n_window_headers=2), 1),  # window length beyond a machine word
])
def test_failures(tmp_path, model, ev, channels, samples, given, code):
    assert parse_one(tmp_path, ev, model=model, channels=channels, windows=4, samples=samples,
                     **given) == Failed(code)


# The pre-check (N - n_event_headers - 1) % (samples + 1) and the payload length are 32-bit
# sums that wrap; events that pass with no whole window parse into empty lists.
@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("size,samples,given,parsed", [
    # 3 words, all event header: N - 3 - 1 wraps to 0xFFFFFFFF = 3 * 5 * 17 * 257 * 65537
    *[(6, s, dict(n_footers=1), True) for s in (0, 2, 4, 16, 256, 2**32 - 2)],
    *[(6, s, dict(n_footers=1), False) for s in (1, 3, 5, 2**32 - 1)],  # 2**32 - 1: the divisor wraps to 0
    (6, 0, dict(n_footers=2), False),  # one footer word more: the payload would end before it starts
    (8, 0, dict(n_event_headers=4, n_footers=1), True),
    # samples + 1 wraps to 2: a 6-word event passes and holds no window of samples + 1 words
    *[(12, s, dict(n_footers=4), True) for s in (1, 2**32 + 1, 2**33 + 1)],
    *[(12, s, dict(n_footers=4), False) for s in (2, 2**32 + 2)],
    (14, 2**32 + 1, dict(n_footers=4), False),  # 7 words: 3 is no multiple of the divisor 2
])
def test_wrapping_lengths(tmp_path, model, size, samples, given, parsed):
    rng = random.Random(size)
    ev = rng.randbytes(size)
    got = parse_one(tmp_path, ev, model=model, channels=3, windows=4, samples=samples, **given)
    if parsed:
        assert_same(got, expected_dict([[]] * 3, [[]] * 3, 3, 4, samples))
    else:
        assert got == Failed(1)


@pytest.mark.parametrize("model", MODELS)
def test_channel_list_checked_against_channels(tmp_path, model):
    good = [win(0, 0, 1), win(1, 0, 2)]
    evs = [
        korvexv3_words(*good, win(1, 0, 3), win(2, 0, 4)),  # channel 2 only after the first two windows
        korvexv3_words(good[0], win(2, 0, 2), win(1, 0, 3), win(0, 0, 4)),  # channel 2 among the first two
        korvexv3_words(win(3, 0, 1)),  # one window: the list is [3]
    ]
    got = parse_all(tmp_path, evs, model=model, channels=2, windows=4, samples=1)
    assert got[0]["data"] == [[1.0, 3.0], [2.0, 4.0]]
    assert got[1:] == [Failed(2), Failed(2)]


@pytest.mark.parametrize("model", MODELS)
def test_empty_shapes(tmp_path, model):
    # no whole window: every channel keeps empty lists; no channels: no lists at all
    got = parse_all(tmp_path, [b"\0" * 8], model=model, channels=3, windows=4, samples=2)
    assert_same(got[0], expected_dict([[]] * 3, [[]] * 3, 3, 4, 2))
    ev = korvexv3_words(win(3, 0, 1), win(1, 0, 1))
    assert_same(parse_one(tmp_path, ev, model=model, channels=0, windows=4, samples=1),
                expected_dict([], [], 0, 4, 1))


@pytest.mark.parametrize("model", MODELS)
def test_damaged_events(tmp_path, model):
    rng = random.Random(3)
    s = effective_settings("korvexv3")
    ev, data, labels = generate(rng, s, 4, 3, 12, [0, 1, 2, 3])
    window = 2 * 4
    cut = [ev[:n] for n in (1, 2, 3, 4, 6, len(ev) - 1, len(ev) - 2, len(ev) - 4, len(ev) - window + 2)]
    padded = [ev + b"\0" * n for n in (1, 2, 4, window - 2)]
    got = parse_all(tmp_path, [ev, *cut, *padded], model=model, channels=4, windows=16, samples=3)
    assert_same(got[0], expected_dict(data, labels, 4, 16, 3))
    assert got[1:] == [Failed(1)] * (len(cut) + len(padded))


def test_pellamv2_matches_korvexv3(tmp_path):
    rng = random.Random(5)
    s = effective_settings("korvexv3")
    events = [generate(rng, s, 3, 2, n, [0, 2])[0] for n in (2, 5, 9)]
    events += [rng.randbytes(n) for n in [rng.randint(0, 80) for _ in range(30)]]
    a = parse_all(tmp_path, events, model="korvexv3", channels=3, windows=8, samples=2)
    b = parse_all(tmp_path, events, model="pellamv2", channels=3, windows=8, samples=2)
    assert a == b


@pytest.mark.parametrize("model", MODELS)
def test_random_bytes(tmp_path, model):
    rng = random.Random(13)
    events = [rng.randbytes(rng.randint(1, 300)) for _ in range(60)]
    for given in ({}, dict(n_event_headers=0, n_footers=1), dict(chanmask=0xFFFF, chan_shift=0)):
        for got in parse_all(tmp_path, events, model=model, channels=4, windows=8, samples=1, **given):
            assert isinstance(got, dict) or got in (Failed(1), Failed(2))
