"""Writes the seed inputs of the fuzz targets: well-formed events and files that reach deep.

Usage: python3 fuzz/seeds.py OUT_DIR  (writes OUT_DIR/<target>/<name>)

Parser inputs follow the layout of fuzz/params.hpp: model, channels, windows and samples,
flags, settings, then the raw event."""

import gzip
import os
import pickle
import struct
import sys


def head(model=0, channels=1, windows=1, samples=1, settings=()):
    out = struct.pack("<BHHHBB", model, channels, windows, samples, 0, len(settings))
    for key, kind, value in settings:
        out += struct.pack("<BBQ", key, kind, value)
    return out


def be(words):
    return struct.pack(f">{len(words)}H", *words)


def le(words):
    return struct.pack(f"<{len(words)}H", *words)


def ysk16(channels, windows, samples):
    words = []
    for c in range(channels):
        words += [c << 8 | (c % windows)] + [~(c * 7 + i) & 0xFFFF for i in range(windows * samples)] + [0]
    return head(0, channels, windows, samples) + b"\xA5" + le(words) + b"\x5A\x5A"


def hestrel(model, channels, samples, packets):
    words = []
    for p in range(packets):
        c = p % channels
        words += [c, 0x10 + p, 0x20 + p, p & 0x3F] + [1 + (p + i) % 900 for i in range(samples)]
        words += [0] * (36 - 4 - samples) + [0xFA5A]
    return head(model, channels, 64, samples) + be(words)


def quimbra(model, channels, samples, windows_per_chip):
    def chip(number):
        words = [number << 12, 0, 0]
        for w in range(windows_per_chip):
            c = w % (channels // 2)
            words += [c << 8 | w] + [(w * 31 + i) & 0xFFF for i in range(samples)]
        return words
    words = chip(0) + [0xFFFF] + chip(1) + [0]
    return head(model, channels, 16, samples) + be(words)


def korvexv3s(channels, windows, samples, event_windows):
    words = [0, 0, 0]
    for w in range(event_windows):
        for c in range(channels):
            words += [c << 8 | w] + [(c + w + i) & 0x1FFF for i in range(samples)]
    return head(0, channels, windows, samples) + be(words + [0])


def dravik(channels, windows, samples, groups):
    words = []
    for g in range(groups):
        words += [g] + [0] * 6
        for k in range(4):
            words += [(g + k) % windows, k] + [(g * 4 + k + i) & 0xFFFF for i in range(samples)]
        words += [0, 0]
    return head(0, channels, windows, samples) + be(words)


def sirel96(channels, windows, samples, chips):
    per_chip = channels // 6
    out = b""
    for chip in range(chips):
        words = []
        for b in range(per_chip):
            words += [b << 8 | (b % windows)] + [~(chip + b + i) & 0xFFFF for i in range(windows * samples)] + [0]
        out += bytes([chip]) + le(words) + b"\x00" * 3
    return head(0, channels, windows, samples) + out + b"\x00\x00"


def tolvanev3(channels, windows, samples, event_windows):
    words = [0, 0, 0]
    for w in range(event_windows):
        for c in range(channels):
            words += [c << 10 | (w % windows) << 1] + [(c * 8 + w + i) << 1 & 0x1FFF for i in range(samples)]
        words += [0]
    return head(0, channels, windows, samples) + be(words + [0])


def korvexv3(model, channels, windows, samples, event_windows):
    words = [0x12, 0x34, 0x56]
    for w in range(event_windows):
        words += [(w % channels) << 9 | (w % windows) << 1] + [(w + i) << 1 & 0x1FFF for i in range(samples)]
    return head(model, channels, windows, samples) + be(words + [0])


METADATA = [
    "params:\n  model: ysk16\n  channels: 2\n  windows: 4\n  samples: 8\n  n_chip_headers: 0x3\nregisters: {}\n",
    "params: &p\n  model: hestrelv2_eval\n  channels: +2\n  windows: 0b11\n  samples: 0o7\n"
    "  stop_word: 'FA5A'\n  gain: [1, 2.5, ~, true]\nregisters:\n  r: !!int '0x10'\nother: *p\n",
    "%YAML 1.2\n---\n{params: {model: dravik, channels: !!str 3, windows: 1, samples: 2, x: !local 1},"
    " registers: {a: &a [1, *a], b: -9223372036854775808}}\n...\n",
    "params:\n  model: quimbra_pellam\n  channels: 8\n  windows: 16\n  samples: 4\n  num_chips: 2\n"
    "  <<: {chanmask: 0x300}\n  ? [complex, key]\n  : value\n  text: |\n    block\n    text\n"
    "registers:\n  - 1e400\n  - 18446744073709551615\n  - .inf\n  - 010\n",
]


def pedestal_tables():
    row = [1.5, -2.0, 3.25]
    table = [[list(row) for _ in range(4)] for _ in range(2)]
    shared = [[row] * 4] * 2
    yield "dict", {"data": table}
    yield "sequence", [table, {"when": "now"}]
    yield "tuple_ints", ([[[1, 2, 3], [4, 5, 1 << 70]]], None)
    yield "shared", {"data": shared, "extra": {1, 2}, "b": b"xy"}


def ecc_events():
    # selector bytes (chip blocks, offset from the boundary, spacing), then the words repeated
    yield "one_block", bytes([1, 64, 0]) + struct.pack("<8H", 0x0001, 0x0400, 0x8000, 0x3FF, 0, 0, 0x7FFF, 0xC001)
    yield "six_blocks", bytes([6, 64, 3]) + struct.pack("<4H", 0x0003, 0, 0x2000, 0)
    yield "truncated", bytes([2, 10, 1]) + b"\x01\x00"


def seeds():
    for name, table in pedestal_tables():
        for protocol in (0, 2, 5):
            raw = pickle.dumps(table, protocol=protocol)
            yield "pedestals", f"{name}_p{protocol}", b"\x01" + raw
            yield "pedestals", f"{name}_p{protocol}_gz", b"\x00" + gzip.compress(raw)
    for name, data in ecc_events():
        yield "ecc_check", name, data
    yield "parse_ysk16", "two_channels", ysk16(2, 4, 8)
    yield "parse_ysk16", "one_sample", ysk16(1, 1, 1)
    yield "parse_hestrel", "four_packets", hestrel(0, 4, 32, 4)
    yield "parse_hestrel", "short_data", hestrel(3, 2, 8, 3)
    yield "parse_quimbra", "two_chips", quimbra(0, 8, 4, 3)
    yield "parse_quimbra", "korvex", quimbra(1, 4, 16, 2)
    yield "parse_korvexv3s", "four_channels", korvexv3s(4, 8, 16, 2)
    yield "parse_korvexv3s", "one_window", korvexv3s(2, 3, 4, 1)
    yield "parse_dravik", "two_groups", dravik(8, 16, 4, 2)
    yield "parse_dravik", "one_group", dravik(4, 8, 2, 1)
    yield "parse_sirel96", "six_chips", sirel96(12, 2, 4, 6)
    yield "parse_sirel96", "two_chips", sirel96(96, 1, 2, 2)
    yield "parse_tolvanev3", "three_windows", tolvanev3(4, 8, 8, 3)
    yield "parse_tolvanev3", "one_channel", tolvanev3(1, 3, 2, 2)
    yield "parse_korvexv3", "korvexv3", korvexv3(0, 4, 16, 8, 8)
    yield "parse_korvexv3", "pellamv2", korvexv3(1, 2, 4, 3, 3)
    for i, text in enumerate(METADATA):
        yield "metadata", f"text{i}", text.encode()


def main(out):
    for target, name, data in seeds():
        os.makedirs(os.path.join(out, target), exist_ok=True)
        with open(os.path.join(out, target, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
