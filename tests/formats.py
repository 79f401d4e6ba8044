"""The raw event formats of the parser families, for the tests: the settings each parser reads (a
copy of the parsers' tables) and encoders that write events. Words a parser does not read are
written as noise from `rng` where an encoder takes one, or as fixed filler."""

import struct

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


def words_le(words):
    return struct.pack(f"<{len(words)}H", *words)


def noisy(value, mask, shift, rng, keep_out=0):
    """A word whose (word & mask) >> shift is `value` (shifted into the mask); the other bits are
    random, except those of `keep_out`."""
    used = mask & ~((1 << shift) - 1)
    word = value << shift
    assert word & ~used == 0, "value does not fit its field"
    return word | (rng.getrandbits(16) & ~used & ~keep_out)


# ---- ysk16: one chip, little-endian words

def ysk16_block(channel, start, samples, **given):
    """The words of one channel block: header word, further header words, the inverted sample
    words, footer words."""
    s = effective_settings("ysk16", given)
    words = [(channel << s["chan_shift"] % 16 | start) & 0xFFFF] + [0] * (s["n_window_headers"] - 1)
    words += [~v & 0xFFFF for v in samples]
    words += [0] * s["n_window_footers"]
    return words


def ysk16_event(blocks, **given):
    """The chip header bytes, the blocks' words, the chip footer bytes."""
    s = effective_settings("ysk16", given)
    words = [w for b in blocks for w in b]
    return b"\xA5" * s["n_chip_headers"] + words_le(words) + b"\x5A" * s["n_chip_footers"]


# ---- sirel96: chip blocks of little-endian channel blocks

def sirel96_sample_word(value, mask, rng):
    """A raw word whose inverted, masked form is `value`; bits outside the mask are noise."""
    return ~(value | (rng.getrandbits(16) & ~mask)) & 0xFFFF


def sirel96_event(chips, s, rng, fill=0x5A):
    """chips: [(chip_byte, [(header, raw sample words)])] -> event bytes."""
    out = bytearray()
    for chip_byte, blocks in chips:
        out += bytes([chip_byte]) + bytes([fill] * (s["n_chip_headers"] - 1))
        for header, raw in blocks:
            words = ([header] + [rng.getrandbits(16) for _ in range(s["n_window_headers"] - 1)]
                     + raw + [rng.getrandbits(16) for _ in range(s["n_window_footers"])])
            out += words_le(words)
        out += bytes([fill] * s["n_chip_footers"])
    return bytes(out + bytes([fill] * s["n_event_footers"]))


def sirel96_one_chip(chip_byte, headers, s=None, samples=(0,) * 4, tail=b"\0\0"):
    """One chip block whose channel blocks have the given header words and the same raw samples,
    then `tail`, the event footer by default."""
    s = s or effective_settings("sirel96")
    words = []
    for h in headers:
        words += [h] * s["n_window_headers"] + list(samples) + [0] * s["n_window_footers"]
    return bytes([chip_byte]) + bytes(s["n_chip_headers"] - 1) + words_le(words) + bytes(s["n_chip_footers"]) + tail


# ---- dravik: groups of big-endian words, four sub-blocks each

def dravik_group(base, subs, samples, rng, **given):
    """One group: `base` in word 0, then the sub-blocks (label, offset, values), then random words
    up to the group's length; every word the parser must not read is random."""
    s = effective_settings("dravikv1", given)
    junk = lambda n: [rng.randrange(65536) for _ in range(n)]
    words = [base] + junk(s["n_event_headers"] - 1) if s["n_event_headers"] else []
    for label, offset, values in subs:
        assert len(values) == samples
        words += [label, offset] + list(values) + junk(s["n_window_headers"] - 2)
    group = s["n_event_headers"] + 1 + 4 * (s["n_window_headers"] + samples) + s["n_footer_words"]
    words += junk(group - len(words))
    return words_be(words)


# ---- tolvanev3, korvexv3s, korvexv3: big-endian windows after an event header

def tolvanev3_event(n_words, windows, s, rng):
    """Event header, the windows' words, zero words for the rest of the payload, footer words."""
    words = [rng.getrandbits(16) for _ in range(s["n_event_headers"])]
    words += [w for window in windows for w in window]
    end = n_words - (s["n_footer_words"] - 1)
    assert len(words) <= end
    words += [0] * (end - len(words)) + [rng.getrandbits(16) for _ in range(s["n_footer_words"] - 1)]
    return words_be(words)


def korvexv3s_event(windows, rng, **given):
    """Header words, then per window its blocks (lists of words) and n_window_headers further
    words, then footer words; words outside the blocks are random."""
    s = effective_settings("korvexv3s", given)
    junk = lambda n: [rng.randrange(65536) for _ in range(n)]
    words = junk(s["n_event_headers"])
    for blocks in windows:
        for block in blocks:
            words += block
        words += junk(s["n_window_headers"])
    words += junk(s["n_footer_words"])
    return words_be(words)


def korvexv3_event(windows, s, rng, head=b"\x01\x02\x03"):
    """windows: [(header word, data words)] -> event bytes (random event header and footer words),
    whose first three bytes are `head` when the event header holds them."""
    words = [rng.getrandbits(16) for _ in range(s["n_event_headers"])]
    for header, data in windows:
        words += [header] + data
    words += [rng.getrandbits(16) for _ in range(s["n_footers"] - 1)]
    ev = words_be(words)
    return head + ev[3:] if s["n_event_headers"] >= 2 else ev


def korvexv3_window(channel, label, *values):
    """The words of one window of the default layout."""
    return [channel << 9 | label << 1] + [v << 1 for v in values]


def korvexv3_words(*windows, tail=(0,)):
    """Three zero header words, the windows' words, then `tail`."""
    return words_be([0, 0, 0] + [w for win in windows for w in win] + list(tail))


# ---- quimbra: chips of big-endian windows between stop words

def quimbra_event(chips, s, tail=None):
    """Raw event: each chip is (chip number, [(in-chip channel, label, samples), ...]),
    followed by the stop word; `tail` replaces the final (unread) stop word."""
    words = []
    for chip, windows in chips:
        if s["n_chip_headers"]:
            words.append(chip << 12 | 0x0AB)
            words += [0x0C00 + k for k in range(s["n_chip_headers"] - 1)]
        # without chip headers the first window header carries the chip number
        for inchip, label, samples in windows:
            words.append((inchip << s["chan_shift"] % 16) & s["chanmask"] | label & s["windmask"])
            words += [0x0D00 + k for k in range(s["n_window_headers"] - 1)]
            words += samples
        words.append(s["chip_stop_word"])
    if tail is not None:
        words[-1] = tail
    return words_be(words)


# ---- hestrel: packets closed by a stop word

def hestrel_settings(given=None):
    """The hestrel settings for `given`, with `words`, the packet length they give."""
    s = effective_settings("hestrelv1", given)
    return dict(s, words=s["packet_size"] // 2 + 1)


def hestrel_packet(s, w0, w1, w2, w3, data):
    """The words of one packet of s["words"] words: four header words, filler headers, data,
    filler, the stop word."""
    words = [w0, w1, w2, w3] + [0x0E00 + k for k in range(s["headers"] - 4)] + list(data)
    assert len(words) < s["words"]
    words += [0x0F00 + k for k in range(s["words"] - 1 - len(words))]
    return words + [s["stop_word"]]
