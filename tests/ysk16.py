"""A small encoder of raw ysk16 events for the tests."""

import struct


def block(channel, start, samples, headers=1, footers=1, chan_shift=8):
    """One channel block: header word, the inverted sample words, footer words."""
    words = [(channel << chan_shift | start) & 0xFFFF] + [0] * (headers - 1)
    words += [~s & 0xFFFF for s in samples]
    words += [0] * footers
    return words


def event(blocks, chip_headers=1, chip_footers=2):
    words = [w for b in blocks for w in b]
    return b"\xA5" * chip_headers + struct.pack(f"<{len(words)}H", *words) + b"\x5A" * chip_footers
