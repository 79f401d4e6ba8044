"""The tolvanev3 parser, through Acquisition.parsed_event."""

import random

import pytest

from formats import effective_settings, noisy, tolvanev3_event, words_be
from parse_support import Failed, assert_same, expected_dict, parse_all, parse_one


def block_header(channel, label, s, rng):
    return (noisy(channel, s["chanmask"], s["chan_shift"] % 16, rng, keep_out=s["windmask"])
            & ~s["windmask"] | label << (s["n_last_bits"] % 16))


def chosen(s, channels, windows, samples, j, i):
    """Whether an event of i windows of j channels is read with j channels: no pair with more
    channels has its length, its first window fits, and the first window's headers lie in the payload."""
    block = s["n_channel_headers"] + samples
    m = i * (j * block + 1)
    for more in range(j + 1, channels + 1):
        if m % (more * block + 1) == 0 and m // (more * block + 1) < windows:
            return False
    n = 4 + m
    payload = n - s["n_footer_words"] + 1 - s["n_event_headers"]
    fits = 2 * s["n_event_headers"] + 2 * (j * block + s["n_window_headers"]) <= 2 * n
    return fits and (j - 1) * block < payload


def generate(rng, s, channels, samples, j, i):
    """An event of the length of i windows of j blocks; its windows, as many as the payload holds,
    carry random channels, labels and samples. With the lists it parses into."""
    block = s["n_channel_headers"] + samples
    n = 4 + i * (j * block + 1)
    payload = n - s["n_footer_words"] + 1 - s["n_event_headers"]
    window = j * block + s["n_window_headers"]
    assert s["n_window_headers"] < block, "the window's last words would be read as a block"
    nlb = s["n_last_bits"] % 16
    data = [[] for _ in range(channels)]
    labels = [[] for _ in range(channels)]
    windows = []
    for _ in range(payload // window):
        words = []
        for _ in range(j):
            c = rng.randrange(channels)
            label = rng.randint(0, s["windmask"] >> nlb)
            values = [rng.randint(0, s["datamask"] >> nlb) for _ in range(block - 1)]
            words += [block_header(c, label, s, rng)] + [noisy(v, s["datamask"], nlb, rng) for v in values]
            data[c] += values
            labels[c].append(label)
        windows.append(words + [rng.getrandbits(16) for _ in range(s["n_window_headers"])])
    return tolvanev3_event(n, windows, s, rng), data, labels


ROUND_TRIPS = [
    # channels, windows, samples, settings
    (4, 16, 4, {}),
    (3, 12, 3, dict(n_channel_headers=2)),  # the second header word is read as a sample
    (4, 10, 2, dict(chanmask=0x3000, chan_shift=12, windmask=0x0FF0, datamask=0xFFF0, n_last_bits=4)),
    (2, 10, 3, dict(n_event_headers=1, n_footer_words=3, n_window_headers=0)),
    (3, 10, 3, dict(n_event_headers=6, n_window_headers=2)),
    (4, 10, 3, dict(chan_shift=26, n_last_bits=17, datamask="0x11FFF", n_channel_headers=4294967297)),
    (4, 10, 0, dict(n_window_headers=0)),  # blocks of a header word only
    (2, 10, 3, dict(n_last_bits=0, datamask=0xFFFF, windmask=0x3FF)),
]


@pytest.mark.parametrize("channels,windows,samples,given", ROUND_TRIPS)
def test_round_trip(tmp_path, channels, windows, samples, given):
    rng = random.Random(f"{channels}-{windows}-{samples}-{given}")
    s = effective_settings("tolvanev3", given)
    events, wants = [], []
    for j in range(1, channels + 1):
        for i in [i for i in range(1, windows) if chosen(s, channels, windows, samples, j, i)][:4]:
            ev, data, labels = generate(rng, s, channels, samples, j, i)
            events.append(ev)
            wants.append(expected_dict(data, labels, channels, windows, samples))
    assert len(events) >= channels
    for got, want in zip(parse_all(tmp_path, events, model="tolvanev3", channels=channels, windows=windows,
                                   samples=samples, **given), wants):
        assert_same(got, want)


def test_most_channels_first(tmp_path):
    # 17300 bytes: 66 windows of 2 channels or 131 windows of 1; two channels are read
    rng = random.Random(2)
    ev, data, labels = generate(rng, effective_settings("tolvanev3"), 2, 64, 2, 66)
    assert len(ev) == 17300
    got = parse_one(tmp_path, ev, model="tolvanev3", channels=2, windows=132, samples=64)
    assert_same(got, expected_dict(data, labels, 2, 132, 64))
    assert sum(map(len, got["window_labels"])) == 132
    # when neither first window fits the length stands for nothing
    got = parse_one(tmp_path, ev, model="tolvanev3", channels=2, windows=132, samples=64, n_event_headers=8600)
    assert got == Failed(1)


def test_length_table(tmp_path):
    two = words_be([0, 0, 0, 0x0002, 2, 4, 0, 0x0004, 6, 8, 0, 0])  # 2 windows of 1 channel, 24 bytes
    three = words_be([0, 0, 0, *[0x0002, 1, 2, 0] * 3, 0])  # 3 windows: no pair of its own
    params = dict(model="tolvanev3", channels=1, samples=2)
    got = parse_all(tmp_path, [two, three], windows=3, **params)
    assert got[0]["data"] == [[1.0, 2.0, 3.0, 4.0]] and got[0]["window_labels"] == [[1, 2]]
    assert got[1] == Failed(1)
    for windows, channels in ((0, 1), (1, 1), (3, 0)):
        assert parse_one(tmp_path, two, model="tolvanev3", channels=channels, windows=windows,
                         samples=2) == Failed(1)


@pytest.mark.parametrize("word6,want", [(0x0000, "empty"), (0x0400, Failed(2))])
def test_single_pair_taken_without_fit(tmp_path, word6, want):
    # 16 bytes stand only for 1 window of 1 channel; with 6 header words that window does not fit,
    # so the payload (word 6) holds no window, but its first block header is still checked.
    ev = words_be([0, 0, 0, 0, 0, 0, word6, 0])
    got = parse_one(tmp_path, ev, model="tolvanev3", channels=1, windows=3, samples=2, n_event_headers=6)
    if want == "empty":
        assert_same(got, expected_dict([[]], [[]], 1, 3, 2))
    else:
        assert got == want


@pytest.mark.parametrize("ev,channels,samples,given,code", [
    (b"", 1, 2, {}, 4),
    (b"\0" * 23, 1, 2, {}, 1),
    (b"\0" * 22, 2, 2, dict(n_event_headers=7), 1),  # the first window's second header beyond the payload
    (b"\0" * 16, 1, 2, dict(n_event_headers=8), 1),  # payload would start after its end
    (b"\0" * 16, 1, 2, dict(n_event_headers=7), 1),  # an empty payload has no header to check
    (b"\0" * 16, 1, 2, dict(n_footer_words=0), 1),
    (b"\0" * 10, 1, 0, dict(n_channel_headers=0), 1),  # blocks of no word in a payload of one whole window
    (b"\0" * 10, 1, 0, dict(n_channel_headers=0, n_window_headers=0), 1),  # windows of no word
    (b"\0" * 16, 1, 2**64 - 1, {}, 1),  # block length beyond a machine word
    (b"\0" * 12, 1, 2**63, {}, 1),  # its length would be 12 only modulo 2**64
])
def test_failures(tmp_path, ev, channels, samples, given, code):
    assert parse_one(tmp_path, ev, model="tolvanev3", channels=channels, windows=2, samples=samples,
                     **given) == Failed(code)


# Blocks of no word (n_channel_headers 0, samples 0): every pair (j, i) has the length 2 i + 8 and
# the first window n_window_headers words. While the payload holds no whole window, payload word 0
# is the first window's every block header and nothing more is read.
@pytest.mark.parametrize("size,word3,channels,given,want", [
    (10, 0x0000, 1, dict(n_window_headers=4), "empty"),  # one pair, taken though its window does not fit
    (10, 0x0400, 1, dict(n_window_headers=4), Failed(2)),
    (10, 0x0800, 3, dict(n_window_headers=2), "empty"),  # 3 + 2 words fit: the pair of three channels
    (10, 0x0C00, 3, dict(n_window_headers=2), Failed(2)),
    (10, 0x0000, 3, dict(n_window_headers=3), Failed(1)),  # several pairs and no first window fits
    (12, 0x0000, 1, dict(n_window_headers=4), Failed(1)),  # the length of 2 windows, not below windows 2
    (10, 0x0000, 1, dict(n_window_headers=4, n_footer_words=3), Failed(1)),  # an empty payload
    (10, 0x0000, 1, dict(n_window_headers=1), Failed(1)),  # the payload holds one whole window
])
def test_blocks_of_no_word(tmp_path, size, word3, channels, given, want):
    ev = words_be([0xFFFF, 0xFFFF, 0xFFFF, word3, *[0xFFFF] * (size // 2 - 4)])
    got = parse_one(tmp_path, ev, model="tolvanev3", channels=channels, windows=2, samples=0,
                    n_channel_headers=0, **given)
    if want == "empty":
        assert_same(got, expected_dict([[]] * channels, [[]] * channels, channels, 2, 0))
    else:
        assert got == want


def test_bounds_that_still_parse(tmp_path):
    # the same 22 bytes with 6 header words: both block headers (words 6 and 9) lie in the payload
    assert_same(parse_one(tmp_path, b"\0" * 22, model="tolvanev3", channels=2, windows=2, samples=2,
                          n_event_headers=6), expected_dict([[], []], [[], []], 2, 2, 2))


def test_window_headers_read_as_a_block(tmp_path):
    # n_window_headers 2 and blocks of 2 words: the window's last 2 words are one more block
    ev = words_be([0, 0, 0, 0x0002, 5 << 1, 0x0404, 6 << 1, 0x040A, 7 << 1, 0, 0, 0, 0, 0])
    got = parse_one(tmp_path, ev, model="tolvanev3", channels=2, windows=3, samples=1, n_window_headers=2)
    assert got["data"] == [[5.0], [6.0, 7.0]]
    assert got["window_labels"] == [[1], [2, 5]]


def test_damaged_events(tmp_path):
    # keys with 2 channels of 4 samples below 5 windows: 12 i + 8 and 22 i + 8
    rng = random.Random(4)
    s = effective_settings("tolvanev3")
    ev, data, labels = generate(rng, s, 2, 4, 2, 3)
    assert len(ev) == 74
    cut = [ev[:n] for n in (1, 2, 4, 8, 72, 70, 73)]
    padded = [ev + b"\0" * n for n in (1, 2, 4, 6)]
    mislabelled = bytearray(ev)
    mislabelled[2 * (3 + 11 + 5)] |= 0x0C  # channel 3 in the second window's second block
    got = parse_all(tmp_path, [ev, *cut, *padded, bytes(mislabelled)], model="tolvanev3", channels=2, windows=5,
                    samples=4)
    assert_same(got[0], expected_dict(data, labels, 2, 5, 4))
    assert got[1:] == [Failed(1)] * (len(cut) + len(padded)) + [Failed(2)]


def test_random_bytes(tmp_path):
    rng = random.Random(17)
    lengths = [12 * i + 8 for i in range(1, 6)] + [22 * i + 8 for i in range(1, 6)]
    events = [rng.randbytes(n) for n in lengths + [rng.randint(1, 200) for _ in range(30)]]
    for given in ({}, dict(n_event_headers=0, n_footer_words=1), dict(n_window_headers=7, n_event_headers=9)):
        for got in parse_all(tmp_path, events, model="tolvanev3", channels=4, windows=6, samples=4, **given):
            assert isinstance(got, dict) or got in (Failed(1), Failed(2))
