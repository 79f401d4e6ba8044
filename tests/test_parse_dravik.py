"""The dravik parser: groups of big-endian words, four sub-blocks of one window each."""

import random

import pytest

from formats import dravik_group, effective_settings, words_be
from parse_support import Failed, family, time_axis


parse_all, parse_one = family("dravik", channels=4, windows=16, samples=4)


def simple_group(base=0, offsets=(0, 1, 2, 3), labels=(5, 5, 5, 5), samples=4, value=7, **kw):
    rng = random.Random(0)
    subs = [(lab, off, [value] * samples) for lab, off in zip(labels, offsets)]
    return dravik_group(base, subs, samples, rng, **kw)


@pytest.mark.parametrize("channels, windows, samples, settings, subs_per_group", [
    (8, 16, 4, {}, 4),
    (12, 64, 32, {}, 4),
    (4, 8, 1, {}, 4),
    (8, 16, 6, {"n_window_headers": 3}, 4),            # the third header word is not read
    (8, 16, 6, {"n_window_headers": 5, "n_event_headers": 1}, 4),
    (8, 16, 3, {"n_event_headers": 12}, 4),
    (8, 16, 3, {"n_footer_words": 6}, 5),               # 1 + S footer words leave room for a fifth sub-block
    (4, 32, 0, {}, 4),                                  # labels only
])
def test_round_trip(tmp_path, channels, windows, samples, settings, subs_per_group):
    rng = random.Random(channels * 1000 + samples)
    n_windows = 5
    data = [[] for _ in range(channels)]
    labels = [[] for _ in range(channels)]
    # Sub-blocks in a shuffled channel order, windows starting anywhere on the ring.
    slots = [(c // 4, c % 4) for c in range(channels)]
    slots += [slots[rng.randrange(len(slots))] for _ in range(-len(slots) % subs_per_group)]
    start = rng.randrange(windows)
    event = b""
    for w in range(n_windows):
        label = (start + w) % windows
        order = slots[:]
        rng.shuffle(order)
        for at in range(0, len(order), subs_per_group):
            chunk = order[at:at + subs_per_group]
            # One base per group: remap offsets relative to the group's first base.
            base = min(b for b, _ in chunk)
            subs = []
            for b, off in chunk:
                values = [rng.randrange(65536) for _ in range(samples)]
                c = b * 4 + off
                offset = c - 4 * base
                subs.append((label, offset, values))
                data[c] += values
                labels[c].append(label)
            # The group ends with whatever words its size leaves after the sub-blocks.
            event += dravik_group(base, subs, samples, rng, **settings)
    ev = parse_one(tmp_path, event, channels=channels, windows=windows, samples=samples, **settings)
    assert list(ev) == ["data", "window_labels", "time", "timing", "ecc_errors"]
    assert ev["data"] == [[float(v) for v in d] for d in data]
    assert ev["window_labels"] == labels
    assert ev["time"] == [time_axis(lab, windows, samples) for lab in labels]
    assert ev["timing"] is None and ev["ecc_errors"] is None


@pytest.mark.parametrize("length, ok", [
    (0, False), (2, False), (64, False),        # shorter than one group (66 bytes)
    (65, False), (67, False), (133, False),     # odd
    (66, True), (68, True), (70, True),         # the walk ends 4 bytes before the end
    (72, False), (76, False), (128, False), (130, False),  # a second group too short
    (132, True), (134, True), (136, True), (138, False),
])
def test_event_length(tmp_path, length, ok):
    rng = random.Random(length)
    full = (dravik_group(0, [(1, k, [9] * 4) for k in range(4)], 4, rng)
            + dravik_group(1, [(2, k, [8] * 4) for k in range(4)], 4, rng))
    event = (full + bytes(range(200)))[:length]
    if not ok:
        assert parse_one(tmp_path, event, channels=8) == Failed(1)
        return
    ev = parse_one(tmp_path, event, channels=8)
    groups = 1 if length < 132 else 2
    assert ev["data"][:4] == [[9.0] * 4] * 4
    assert ev["data"][4:] == ([[8.0] * 4] * 4 if groups == 2 else [[]] * 4)


def test_unread_bytes(tmp_path):
    # Header words after word 0, the last 4 bytes of each group and of the event carry no data.
    samples = 4
    a = bytearray(simple_group(base=0, value=3))
    b = bytearray(simple_group(base=0, value=3))
    for i in list(range(2, 14)) + list(range(62, 66)):
        b[i] ^= 0xA5
    ev_a, ev_b = parse_all(tmp_path, [bytes(a) + b"\x01\x02\x03\x04", bytes(b) + b"\xff\xfe\xfd\xfc"])
    assert ev_a == ev_b
    assert ev_a["data"] == [[3.0] * samples] * 4


@pytest.mark.parametrize("base, offset, channels, ok", [
    (2, 3, 11, False),
    (2, 3, 12, True),
    (0, 4, 4, False),      # offsets beyond 3 are not refused by themselves
    (0, 4, 5, True),
    (0xFFFF, 0xFFFF, 4 * 0xFFFF + 0xFFFF, False),
])
def test_channel_index(tmp_path, base, offset, channels, ok):
    event = simple_group(base=base, offsets=(offset, offset, offset, offset), labels=(1, 2, 3, 4), value=11)
    if not ok:
        assert parse_one(tmp_path, event, channels=channels) == Failed(2)
        return
    ev = parse_one(tmp_path, event, channels=channels)
    c = 4 * base + offset
    assert ev["data"][c] == [11.0] * 16
    assert ev["window_labels"][c] == [1, 2, 3, 4]
    assert sum(len(d) for d in ev["data"]) == 16


def test_samples_unmasked_and_same_channel_appends(tmp_path):
    rng = random.Random(1)
    event = dravik_group(0, [(7, 0, [0xFFFF, 0, 0x8000, 1]), (9, 0, [2, 3, 4, 5]),
                             (8, 1, [6, 7, 8, 9]), (0, 0, [10, 11, 12, 13])], 4, rng)
    ev = parse_one(tmp_path, event, windows=10)
    assert ev["data"][0] == [65535.0, 0.0, 32768.0, 1.0, 2, 3, 4, 5, 10, 11, 12, 13]
    assert ev["window_labels"][0] == [7, 9, 0]
    assert ev["time"][0] == list(range(0, 4)) + list(range(8, 12)) + list(range(12, 16))
    assert ev["data"][1] == [6, 7, 8, 9] and ev["data"][2] == [] and ev["window_labels"][3] == []


def _subs(samples, extra, offsets=(0, 1, 2, 3)):
    """Sub-blocks of label, offset, samples and `extra` further words, as raw words."""
    words = []
    for off in offsets:
        words += [1, off] + [5] * samples + [0] * extra
    return words


@pytest.mark.parametrize("settings, samples, region, expected", [
    # n_window_headers 1: every sub-block is one word short of its samples.
    ({"n_window_headers": 1}, 4, _subs(3, 0), Failed(1)),
    ({"n_window_headers": 1}, 4, [1, 9] + _subs(3, 0)[2:], Failed(2)),   # the channel is checked first
    ({"n_window_headers": 0}, 4, _subs(2, 0), Failed(1)),
    # n_footer_words 0: the region is one word short of its fourth sub-block.
    ({"n_footer_words": 0}, 4, _subs(4, 0)[:-1], Failed(1)),
    # n_footer_words 2: a partial fifth sub-block ...
    ({"n_footer_words": 2}, 4, _subs(4, 0) + [0], Failed(1)),
    # ... reported only after a channel failure in an earlier sub-block.
    ({"n_footer_words": 2}, 4, _subs(4, 0, offsets=(0, 7, 1, 2)) + [0], Failed(2)),
    # Sub-blocks of one word cannot hold their channel offset.
    ({"n_window_headers": 0, "n_footer_words": 3}, 1, [1, 0, 1, 0, 1, 0], Failed(1)),
    ({"n_window_headers": 1}, 0, [1, 1, 1, 1], Failed(1)),
    # Sub-blocks of no word: a region with words in it has no sub-block size.
    ({"n_window_headers": 0, "n_footer_words": 3}, 0, [1, 1], Failed(1)),
])
def test_sub_block_failures(tmp_path, settings, samples, region, expected):
    s = effective_settings("dravikv1", settings)
    event = words_be([0] * s["n_event_headers"] + region + [0, 0])
    sub = s["n_window_headers"] + samples
    assert len(event) == 2 * (s["n_event_headers"] + 1 + 4 * sub + s["n_footer_words"])
    assert parse_one(tmp_path, event, channels=4, samples=samples, **settings) == expected


@pytest.mark.parametrize("channels", [2 ** 60, 2 ** 64 - 1])
def test_more_channels_than_memory_holds(tmp_path, channels):
    # A failing event fails as always, before the record's channel lists are made; an event that
    # parses needs them all.
    s = effective_settings("dravikv1", {"n_window_headers": 1})
    short = words_be([0] * s["n_event_headers"] + _subs(3, 0) + [0, 0])  # sub-blocks one word short
    assert parse_one(tmp_path, short, channels=channels, samples=4, n_window_headers=1) == Failed(1)
    with pytest.raises(MemoryError):
        parse_one(tmp_path, simple_group(base=0, offsets=(0, 1, 2, 3), labels=(1, 2, 3, 4), value=11),
                  channels=channels)


@pytest.mark.parametrize("settings, samples, length, expected", [
    # No sub-block region: header words take the whole group.
    ({"n_window_headers": 0, "n_footer_words": 0}, 0, 16, Failed(1)),
    ({"n_window_headers": 0, "n_footer_words": 0, "n_event_headers": 0}, 0, 6, Failed(1)),
    # Events of 4 bytes or fewer have nothing to walk.
    ({"n_window_headers": 0, "n_footer_words": 0, "n_event_headers": 0}, 0, 2, "ok"),
    ({"n_window_headers": 0, "n_footer_words": 0, "n_event_headers": 0}, 0, 4, "ok"),
    # A region of no bytes: groups hold nothing.
    ({"n_window_headers": 0, "n_footer_words": 1, "n_event_headers": 0}, 0, 12, "ok"),
    # Settings whose group size exceeds the machine word exceed every event.
    ({"n_event_headers": 4294967295, "n_footer_words": 4294967295}, 2**64 - 1, 66, Failed(1)),
    ({"n_window_headers": 4294967295}, 2**62, 66, Failed(1)),
    ({"n_event_headers": 4294967295}, 4, 66, Failed(1)),
])
def test_size_limits(tmp_path, settings, samples, length, expected):
    event = bytes(length)
    if expected == "ok":
        ev = parse_one(tmp_path, event, channels=3, samples=samples, **settings)
        assert ev["data"] == [[], [], []] and ev["time"] == [[], [], []]
    else:
        assert parse_one(tmp_path, event, channels=3, samples=samples, **settings) == expected


@pytest.mark.parametrize("key, value", [
    ("n_window_headers", "-1"), ("n_event_headers", "'7'"), ("n_footer_words", "1.0"), ("N_EVENT_HEADERS", "3"),
])
def test_unusable_setting_gives_default(tmp_path, key, value):
    event = simple_group(value=4)
    assert parse_one(tmp_path, event, **{key: value}) == parse_one(tmp_path / "b", event)


def test_time_axis_wraps_the_ring(tmp_path):
    event = simple_group(labels=(6, 7, 0, 1), offsets=(0, 0, 0, 0), samples=2)
    ev = parse_one(tmp_path, event, channels=1, windows=8, samples=2)
    assert ev["window_labels"] == [[6, 7, 0, 1]]
    assert ev["time"] == [[0, 1, 2, 3, 4, 5, 6, 7]]


def test_truncated_and_padded(tmp_path):
    """A valid event of three groups, cut or padded to every length: exactly the lengths
    whose last group keeps its region parse, with the groups they hold."""
    rng = random.Random(5)
    samples = 4
    groups = [dravik_group(g, [(g, k, [rng.randrange(65536) for _ in range(samples)]) for k in range(4)], samples,
                           rng) for g in range(3)]
    full = b"".join(groups)
    gb = 66
    events = [(full + bytes(rng.randrange(256) for _ in range(80)))[:n] for n in range(0, 3 * gb + 80)]
    results = parse_all(tmp_path, events, channels=12, samples=samples)
    for n, got in enumerate(results):
        walked = max(n - 4, 0)
        last = walked % gb
        ok = n % 2 == 0 and n >= gb and (last == 0 or last >= gb - 4)
        if ok and walked <= 3 * gb:
            held = -(-walked // gb)
            want = parse_one(tmp_path / f"w{n}", b"".join(groups[:held]) + bytes(4), channels=12, samples=samples)
            assert got == want, n
            assert sum(len(d) for d in got["data"]) == held * 4 * samples
        elif n % 2 == 0 and walked > 3 * gb and walked - 3 * gb >= gb - 4:
            # Padding long enough becomes a further group, read first: random channels.
            assert got == Failed(2), n
        else:
            assert got == Failed(1), n


def test_random_events_never_crash(tmp_path):
    rng = random.Random(11)
    events = [bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 2, 4, 6, 66, 68, 70, 132, 200, 331])))
              for _ in range(300)]
    settings_list = [{}, {"n_window_headers": 0}, {"n_event_headers": 0}, {"n_footer_words": 5},
                     {"n_window_headers": 1, "n_footer_words": 0}]
    for settings in settings_list:
        results = parse_all(tmp_path, events, channels=rng.choice([1, 4, 64]), windows=8,
                            samples=rng.choice([0, 1, 4]), **settings)
        for ev in results:
            if isinstance(ev, Failed):
                assert ev in (Failed(1), Failed(2))
            else:
                assert len(ev["data"]) == len(ev["time"]) == len(ev["window_labels"])
