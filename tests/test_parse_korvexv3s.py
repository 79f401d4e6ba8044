"""The korvexv3s parser: channel and window counts found from the event's length."""

import random

import pytest

from formats import effective_settings, korvexv3s_event, words_be
from parse_support import Failed, family, time_axis


def default_head(c, label, rng):
    # Channel in bits 8-9, label in bits 0-7, bits 10-15 outside both masks.
    return rng.randrange(64) << 10 | c << 8 | label


parse_all, parse_one = family("korvexv3s", channels=2, windows=8, samples=4)


def head_masked(chanmask, chan_shift, windmask, last_bits):
    """A head encoder for masks whose fields do not overlap: random bits outside both."""
    outside = 0xFFFF & ~(chanmask | windmask)

    def head(c, label, rng):
        return (c << chan_shift) & chanmask | (label << last_bits) & windmask | rng.randrange(65536) & outside
    return head


ROUND_TRIPS = [
    # channels, windows, samples, windows in the event, settings, head encoder
    (2, 8, 64, 3, {}, default_head),
    (4, 16, 8, 15, {}, default_head),                     # windows - 1: the most an event may hold
    (1, 2, 5, 1, {}, default_head),
    (3, 8, 4, 4, {"n_event_headers": 5, "n_footer_words": 2,
                  "n_window_headers": 2, "n_window_footers": 2}, default_head),
    (2, 8, 4, 3, {"n_channel_headers": 2}, default_head),  # the second header word is a sample
    (2, 8, 4, 3, {"n_channel_headers": 0}, default_head),  # the first sample word is the header
    (8, 256, 6, 5, {"chanmask": 0x7000, "chan_shift": 28, "windmask": 0x0FF0, "n_last_bits": 20,
                    "datamask": 0xFFF0}, head_masked(0x7000, 12, 0x0FF0, 4)),
    (2, 8, 3, 2, {"datamask": "0x1FFFF", "chanmask": "0x10300"}, default_head),  # masks keep 16 bits
]


@pytest.mark.parametrize("channels, windows, samples, n_windows, settings, head", ROUND_TRIPS)
def test_round_trip(tmp_path, channels, windows, samples, n_windows, settings, head):
    rng = random.Random(channels * 7919 + samples)
    s = effective_settings("korvexv3s", settings)
    block = s["n_channel_headers"] + samples
    datamask = s["datamask"]
    last_bits = s["n_last_bits"] % 16
    data = [[] for _ in range(channels)]
    labels = [[] for _ in range(channels)]
    event_windows = []
    label = rng.randrange(windows)
    for _ in range(n_windows):
        order = list(range(channels))
        rng.shuffle(order)
        blocks = []
        for c in order:
            words = [rng.randrange(65536) for _ in range(block - 1)]
            blocks.append([head(c, label, rng)] + words)
            data[c] += [float((w & datamask) >> last_bits) for w in words]
            labels[c].append(label)
        event_windows.append(blocks)
        label = (label + 1) % windows
    event = korvexv3s_event(event_windows, rng, **settings)
    ev = parse_one(tmp_path, event, channels=channels, windows=windows, samples=samples, **settings)
    assert list(ev) == ["data", "window_labels", "time", "timing", "ecc_errors"]
    assert ev["data"] == data
    assert ev["window_labels"] == labels
    assert ev["time"] == [time_axis(lab, windows, samples) for lab in labels]
    assert ev["timing"] is None and ev["ecc_errors"] is None


def two_channel_event(heads, samples=64, rng=None):
    """Three header words, two blocks of one head and `samples` words each, one footer word."""
    rng = rng or random.Random(0)
    words = [0, 0, 0]
    for h in heads:
        words += [h] + [rng.randrange(8192) for _ in range(samples)]
    return words_be(words + [0])


@pytest.mark.parametrize("channels, heads, expected", [
    (2, (0x0007, 0x0107), "ok"),        # (2 channels, 1 window) before (1 channel, 2 windows)
    (2, (0x0107, 0x0007), "ok"),
    (4, (0x0007, 0x0107), Failed(4)),     # the length shows two channels, not four
    (3, (0x0007, 0x0107), Failed(4)),
    (4, (0x0007, 0x0207), Failed(2)),     # channel 2 is not below the two channels found
    (4, (0x0307, 0x0007), Failed(2)),
])
def test_channels_found_from_length(tmp_path, channels, heads, expected):
    event = two_channel_event(heads)
    assert len(event) == 268
    if expected != "ok":
        assert parse_one(tmp_path, event, channels=channels, windows=3, samples=64) == expected
        return
    ev = parse_one(tmp_path, event, channels=channels, windows=3, samples=64)
    assert [len(d) for d in ev["data"]] == [64, 64]
    assert ev["window_labels"] == [[7], [7]]
    assert ev["time"] == [list(range(64))] * 2


@pytest.mark.parametrize("channels, windows, n_windows, expected", [
    (2, 4, 3, "ok"),
    (2, 4, 4, Failed(1)),     # exactly `windows` windows has no length of its own
    (2, 5, 4, "ok"),
    (1, 3, 3, Failed(1)),
    (2, 1, 1, Failed(1)),     # fewer than two windows or no channel: no length at all
    (2, 0, 1, Failed(1)),
    (0, 4, 1, Failed(1)),
])
def test_window_count_range(tmp_path, channels, windows, n_windows, expected):
    rng = random.Random(3)
    ch = max(channels, 1)
    event = korvexv3s_event([[[default_head(c, w, rng)] + [1] * 4 for c in range(ch)] for w in range(n_windows)], rng)
    if expected != "ok":
        assert parse_one(tmp_path, event, channels=channels, windows=windows, samples=4) == expected
        return
    ev = parse_one(tmp_path, event, channels=channels, windows=windows, samples=4)
    assert ev["window_labels"] == [list(range(n_windows))] * channels


@pytest.mark.parametrize("event, expected", [
    (b"", Failed(4)),
    (b"\x00", Failed(1)),
    (bytes(27), Failed(1)),
    (bytes(2), Failed(1)),
    (bytes(8), Failed(1)),        # header and footer only
    (bytes(20), Failed(1)),       # 8 + 2 * 6: no (channels, windows) gives it with block 5
])
def test_length_failures(tmp_path, event, expected):
    assert parse_one(tmp_path, event, channels=2, windows=8, samples=4) == expected


@pytest.mark.parametrize("extra, heads, expected", [
    # 40 more words per window: two channels do not fit in 268 bytes, one does.
    (40, (0x0007, 0x0107), Failed(4)),   # one channel found; the second head is read as a sample
    (40, (0x0107, 0x0007), Failed(2)),   # channel 1 is not below the one channel found
    (100, (0x0007, 0x0107), Failed(1)),   # neither fits
])
def test_first_window_must_fit_among_candidates(tmp_path, extra, heads, expected):
    event = two_channel_event(heads)
    assert parse_one(tmp_path, event, channels=2, windows=3, samples=64, n_window_headers=extra) == expected


@pytest.mark.parametrize("head, expected", [(0x0005, "ok"), (0x0105, Failed(2))])
def test_single_candidate_without_whole_window(tmp_path, head, expected):
    # One channel, one window of 65 words, but windows of 1065 words: the only candidate is
    # taken without the fit test; its block head is still checked; nothing is read.
    event = words_be([0, 0, 0, head] + [1] * 64 + [0])
    if expected != "ok":
        assert parse_one(tmp_path, event, channels=1, windows=3, samples=64, n_window_headers=1000) == expected
        return
    ev = parse_one(tmp_path, event, channels=1, windows=3, samples=64, n_window_headers=1000)
    assert ev["data"] == [[]] and ev["window_labels"] == [[]] and ev["time"] == [[]]


def test_channel_failure_in_later_window(tmp_path):
    rng = random.Random(4)
    windows = [[[default_head(c, w, rng)] + [0] * 4 for c in (1, 0)] for w in range(3)]
    windows[2][1][0] = 0x0302
    assert parse_one(tmp_path, korvexv3s_event(windows, rng), channels=2, samples=4) == Failed(2)


def test_footers_counted_only_by_the_length(tmp_path):
    # n_window_footers 1: the length counts windows of 5 words, the walk cuts windows of 4.
    event = words_be([9, 9, 9, 0x0003, 1, 2, 3, 0x0005, 0x0004, 0x2006, 7, 8, 9, 0xFFFF])
    ev = parse_one(tmp_path, event, channels=1, windows=4, samples=3, n_window_footers=1)
    assert ev["data"] == [[1.0, 2.0, 3.0, 4.0, 6.0, 7.0]]
    assert ev["window_labels"] == [[3, 5]]
    assert ev["time"] == [[0, 1, 2, 6, 7, 8]]


@pytest.mark.parametrize("third, expected", [(0x0101, "ok"), (0x0201, Failed(2))])
def test_window_words_beyond_blocks_read_as_block(tmp_path, third, expected):
    # samples 1 (blocks of 2 words), 2 further words per window: a third block per window.
    event = words_be([0, 0, 0, 0x0001, 10, 0x0101, 11, third, 12, 0])
    if expected != "ok":
        assert parse_one(tmp_path, event, channels=2, windows=4, samples=1,
                           n_window_headers=2, n_window_footers=2) == expected
        return
    ev = parse_one(tmp_path, event, channels=2, windows=4, samples=1, n_window_headers=2, n_window_footers=2)
    assert ev["data"] == [[10.0], [11.0, 12.0]]
    assert ev["window_labels"] == [[1], [1, 1]]
    assert ev["time"] == [[0], [0, 0]]


@pytest.mark.parametrize("channels, windows, samples, settings, event, expected", [
    # Blocks of no word: nothing to cut a window into.
    (2, 4, 0, {"n_channel_headers": 0}, bytes(8), Failed(1)),                   # no payload for the heads
    (2, 4, 0, {"n_channel_headers": 0, "n_window_footers": 1}, bytes(10), Failed(1)),  # windows of no word
    (2, 4, 0, {"n_channel_headers": 0, "n_window_footers": 1, "n_window_headers": 1}, bytes(12), Failed(1)),
    (2, 8, 0, {"n_channel_headers": 0, "n_window_footers": 1, "n_window_headers": 5}, bytes(16), "empty"),
    # Sizes beyond the machine word.
    (2, 4, 2**64 - 1, {}, bytes(20), Failed(1)),
    (1, 4, 2**64 - 2, {"n_channel_headers": 2}, bytes(20), Failed(1)),
    (2, 4, 4, {"n_event_headers": 4294967295}, bytes(28), Failed(1)),
    # Huge counts that the event does not reach do not get in the way.
    (2**64 - 1, 4, 4, {}, words_be([0, 0, 0, 0x0000, 1, 1, 1, 1, 0x0100, 2, 2, 2, 2, 0]), Failed(4)),
])
def test_limits(tmp_path, channels, windows, samples, settings, event, expected):
    if expected == "empty":
        ev = parse_one(tmp_path, event, channels=channels, windows=windows, samples=samples, **settings)
        assert ev["data"] == [[]] * channels
        return
    assert parse_one(tmp_path, event, channels=channels, windows=windows, samples=samples, **settings) == expected


def test_huge_ring(tmp_path):
    # Lengths of the format are exact: a ring of 2**64 - 1 windows still finds the event's pair.
    rng = random.Random(8)
    labels = [5, 255, 0]
    windows = [[[default_head(c, lab, rng)] + [c + 1] * 4 for c in range(2)] for lab in labels]
    ev = parse_one(tmp_path, korvexv3s_event(windows, rng), channels=2, windows=2**64 - 1, samples=4)
    assert ev["window_labels"] == [labels, labels]
    assert ev["time"] == [time_axis(labels, 2**64 - 1, 4)] * 2
    assert ev["data"] == [[1.0] * 12, [2.0] * 12]


def _expected_outcome(length, channels, windows, block):
    """With the default settings: the pair the length stands for, and so the outcome."""
    if length == 0:
        return {Failed(4)}
    if length % 2 or length // 2 <= 4 or (length // 2 - 4) % block:
        return {Failed(1)}
    k = length // 2 - 4
    k //= block
    pairs = [j for j in range(channels, 0, -1) if k % j == 0 and 1 <= k // j <= windows - 1]
    if not pairs:
        return {Failed(1)}
    if pairs[0] == channels:
        return {"ok", Failed(2)}   # invalid channel only where random words are read as block heads
    return {Failed(2), Failed(4)}


def test_truncated_and_padded(tmp_path):
    rng = random.Random(9)
    channels, windows, samples = 2, 8, 4
    block = samples + 1
    event_windows = []
    for w in range(3):
        order = [0, 1]
        rng.shuffle(order)
        event_windows.append([[default_head(c, w, rng)] + [rng.randrange(65536) for _ in range(4)] for c in order])
    full = korvexv3s_event(event_windows, rng)
    pad = bytes(rng.randrange(256) for _ in range(90))
    events = [(full + pad)[:n] for n in range(len(full) + len(pad))]
    results = parse_all(tmp_path, events, channels=channels, windows=windows, samples=samples)
    whole = results[len(full)]
    for n, ev in enumerate(results):
        outcome = _expected_outcome(n, channels, windows, block)
        if isinstance(ev, Failed):
            assert ev in outcome, n
            # Every cut of the event whose length shows all channels parses.
            assert n > len(full) or "ok" not in outcome, n
            continue
        assert "ok" in outcome, n
        if n <= len(full):
            # A cut event holds the first windows of the whole one.
            held = (n // 2 - 4) // (channels * block)
            assert ev["window_labels"] == [lab[:held] for lab in whole["window_labels"]]
            assert ev["data"] == [d[:held * samples] for d in whole["data"]]


def test_random_events_never_crash(tmp_path):
    rng = random.Random(12)
    events = [bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 2, 8, 18, 28, 48, 68, 138, 268, 401])))
              for _ in range(300)]
    settings_list = [{}, {"n_channel_headers": 0}, {"n_window_headers": 3, "n_window_footers": 1},
                     {"n_event_headers": 0, "n_footer_words": 0}, {"chan_shift": 0, "chanmask": 3}]
    for settings in settings_list:
        results = parse_all(tmp_path, events, channels=rng.choice([1, 2, 4]), windows=rng.choice([2, 8, 300]),
                            samples=rng.choice([0, 1, 4, 64]), **settings)
        for ev in results:
            if isinstance(ev, Failed):
                assert ev in (Failed(1), Failed(2), Failed(4))
            else:
                assert len(ev["data"]) == len(ev["time"]) == len(ev["window_labels"])
