"""The sirel96 Hamming code: single-word rules, and the check and correction of raw events."""

import os
import random
import sys
import threading

import numpy as np
import pytest

import vuzevuz

# Independent model of the code, written from its bit tables.
SYNDROME_BITS = [
    [0, 1, 3, 4, 6, 8, 10],
    [0, 2, 3, 5, 6, 9, 11],
    [1, 2, 3, 7, 8, 9, 12],
    [4, 5, 6, 7, 8, 9, 13],
]
# Syndrome value produced by flipping bit k alone.
BIT_SYNDROME = [3, 5, 6, 7, 9, 10, 11, 12, 13, 14, 1, 2, 4, 8, 0, 0]
# Bit to correct for syndrome values 1..15.
SYNDROME_TO_BIT = {1: 10, 2: 11, 3: 0, 4: 12, 5: 1, 6: 2, 7: 3, 8: 13, 9: 4, 10: 5, 11: 6, 12: 7, 13: 8, 14: 9, 15: 15}

CHIP = 131140
RANGE_WORDS = 4096


def model_syndrome(w):
    return [sum(w >> b & 1 for b in bits) & 1 for bits in SYNDROME_BITS]


def range_start(r):
    # chip header byte, then per channel a header word before the samples
    return CHIP * (r // 16) + 1 + 8196 * (r % 16) + 2


def chip_blocks(length):
    return -(-(length - 2) // CHIP)


def model_codes(words):
    """Syndrome values and parities of a uint16 array."""
    bits = (words[..., None] >> np.arange(16, dtype=np.uint16)) & 1
    v = np.zeros(words.shape, dtype=np.int64)
    for i, idx in enumerate(SYNDROME_BITS):
        v |= (bits[..., idx].sum(axis=-1) & 1).astype(np.int64) << i
    p = (bits.sum(axis=-1) & 1).astype(np.int64)
    return v, p


def sample_words(raw):
    n = chip_blocks(len(raw))
    buf = np.frombuffer(bytes(raw), dtype=np.uint8)
    words = np.empty((16 * n, RANGE_WORDS), dtype=np.uint16)
    for r in range(16 * n):
        s = range_start(r)
        words[r] = buf[s : s + 2 * RANGE_WORDS : 2] | buf[s + 1 : s + 2 * RANGE_WORDS : 2].astype(np.uint16) << 8
    return words


TO_BIT = np.array([0] + [SYNDROME_TO_BIT[v] for v in range(1, 16)], dtype=np.int64)


def model_findings(raw):
    words = sample_words(raw)
    v, p = model_codes(words)
    r, j = np.nonzero((v != 0) | (p == 1))
    w, v, p = words[r, j].astype(np.int64), v[r, j], p[r, j]
    bit = TO_BIT[v]
    # a zero syndrome cannot locate the flipped bit: such a word is left as it is
    corrected = np.where((p == 1) & (v != 0), w ^ (1 << bit), w)
    starts = np.array([range_start(k) for k in range(len(words))], dtype=np.int64)
    table = np.stack([2 * j, starts[r] + 2 * j, w, corrected, bit, p], axis=1)
    return list(map(tuple, table.tolist()))


def model_corrected(raw):
    out = bytearray(raw)
    found = np.array(model_findings(raw), dtype=np.int64).reshape(-1, 6)
    found = found[found[:, 5] == 1]
    buf = np.frombuffer(out, dtype=np.uint8)
    buf[found[:, 1]] = found[:, 3] & 0xFF
    buf[found[:, 1] + 1] = found[:, 3] >> 8
    del buf
    return out


def event(chips, fill_frame=False, seed=0):
    """A complete event of `chips` chip blocks with zero samples; optionally noise in every unchecked byte."""
    raw = bytearray(CHIP * chips + 2)
    if fill_frame:
        frame = np.ones(len(raw), dtype=bool)
        for r in range(16 * chips):
            frame[range_start(r) : range_start(r) + 2 * RANGE_WORDS] = False
        noise = np.random.default_rng(seed).integers(1, 256, len(raw), dtype=np.uint8)
        buf = np.frombuffer(raw, dtype=np.uint8)
        buf[frame] = noise[frame]
    return raw


def put(raw, r, j, w):
    s = range_start(r) + 2 * j
    raw[s : s + 2] = w.to_bytes(2, "little")


# --- single-word rules ---------------------------------------------------------------------


def test_model_tables_agree():
    for k in range(16):
        s = model_syndrome(1 << k)
        assert s[0] + 2 * s[1] + 4 * s[2] + 8 * s[3] == BIT_SYNDROME[k]
    assert all(SYNDROME_TO_BIT[BIT_SYNDROME[k]] == k for k in range(14))


def test_syndrome_every_word():
    assert [vuzevuz.syndrome(w) for w in range(65536)] == [model_syndrome(w) for w in range(65536)]


def test_global_parity_every_word():
    assert [vuzevuz.global_parity(w) for w in range(65536)] == [bin(w).count("1") & 1 for w in range(65536)]


def test_syndrome_to_index_every_word():
    for w in range(65536):
        s = model_syndrome(w)
        v = s[0] + 2 * s[1] + 4 * s[2] + 8 * s[3]
        assert vuzevuz.syndrome_to_index(vuzevuz.syndrome(w)) == SYNDROME_TO_BIT.get(v)


@pytest.mark.parametrize(
    "s, expected",
    [
        ([0, 0, 0, 0], None),
        ([1, 1, 1, 1], 15),
        ([2, 0, 0, 0], 11),  # items are weighted as they are, not reduced to bits
        ([3, 0, 0, 0], 0),
        ([1, 1, 0, 1], 6),
        ([0, 0, 0, 2], None),  # 16
        ([1, 0, 0, 2], None),  # 17
        ([255, 255, 255, 255], None),
        (bytes([1, 0, 0, 0]), 10),
        (bytearray([0, 1, 0, 0]), 11),
        ((1, 0, 0, 0), 10),
        (range(4), None),  # 0 + 2 + 8 + 24
        ([True, False, True, False], 1),
    ],
)
def test_syndrome_to_index(s, expected):
    assert vuzevuz.syndrome_to_index(s) == expected


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "func, arg, expected",
    [
        (vuzevuz.syndrome, True, [1, 1, 0, 0]),
        (vuzevuz.syndrome, Index(1024), [1, 0, 0, 0]),
        (vuzevuz.syndrome, 0xC000, [0, 0, 0, 0]),
        (vuzevuz.syndrome, 0xFFFF, [1, 1, 1, 1]),
        (vuzevuz.global_parity, Index(0x8000), 1),
        (vuzevuz.global_parity, 0x4000, 1),
        (vuzevuz.global_parity, 0xFFFF, 0),
        (vuzevuz.syndrome_to_index, [Index(1), 0, 0, 0], 10),
    ],
)
def test_integer_conversion_accepts(func, arg, expected):
    assert func(arg) == expected


OUT_OF_RANGE = "^out of range integral type conversion attempted$"


@pytest.mark.parametrize(
    "func, arg, exc, match",
    [
        (vuzevuz.syndrome, 65536, OverflowError, OUT_OF_RANGE),
        (vuzevuz.syndrome, -1, OverflowError, OUT_OF_RANGE),
        (vuzevuz.global_parity, 2**70, OverflowError, "too large to convert to C long"),
        (vuzevuz.syndrome, 1.0, TypeError, "^argument 'data': 'float' object cannot be interpreted as an integer$"),
        (vuzevuz.global_parity, "1", TypeError, "^argument 'data': 'str' object cannot be interpreted"),
        (vuzevuz.syndrome, None, TypeError, "^argument 'data': "),
        (vuzevuz.syndrome_to_index, [1, 0, 0], ValueError, r"^expected a sequence of length 4 \(got 3\)$"),
        (vuzevuz.syndrome_to_index, [0] * 5, ValueError, r"^expected a sequence of length 4 \(got 5\)$"),
        (vuzevuz.syndrome_to_index, "abc", ValueError, r"\(got 3\)"),
        # the length is checked before the items
        (vuzevuz.syndrome_to_index, [1.5, 0, 0], ValueError, r"\(got 3\)"),
        (vuzevuz.syndrome_to_index, [256, 0, 0, 0, 0], ValueError, r"\(got 5\)"),
        (vuzevuz.syndrome_to_index, "abcd", TypeError, "^argument 's': 'str' object cannot be interpreted"),
        (vuzevuz.syndrome_to_index, [0, 0, 0, 1.0], TypeError, "^argument 's': 'float'"),
        (vuzevuz.syndrome_to_index, [256, 0, 0, 0], OverflowError, OUT_OF_RANGE),
        (vuzevuz.syndrome_to_index, [0, -1, 0, 0], OverflowError, OUT_OF_RANGE),
        (vuzevuz.syndrome_to_index, {1, 2, 3, 4}, TypeError, "^argument 's': 'set' object cannot be converted to 'Sequence'$"),
        (vuzevuz.syndrome_to_index, 4, TypeError, "^argument 's': 'int' object cannot be converted to 'Sequence'$"),
        (vuzevuz.syndrome_to_index, None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ],
)
def test_word_argument_refused(func, arg, exc, match):
    with pytest.raises(exc, match=match) as info:
        func(arg)
    assert type(info.value) is exc


def test_prefixed_type_error_keeps_cause():
    with pytest.raises(TypeError) as info:
        vuzevuz.syndrome(1.0)
    assert type(info.value.__cause__) is TypeError
    assert not str(info.value.__cause__).startswith("argument")


@pytest.mark.parametrize(
    "call",
    [
        lambda: vuzevuz.syndrome(),
        lambda: vuzevuz.syndrome(1, 2),
        lambda: vuzevuz.global_parity(word=1),
        lambda: vuzevuz.syndrome_to_index([0] * 4, s=[0] * 4),
        lambda: vuzevuz.ecc_check(),
        lambda: vuzevuz.ecc_correct(raw=b"\0\0"),
    ],
)
def test_argument_binding_refused(call):
    with pytest.raises(TypeError):
        call()


def test_keyword_arguments():
    assert vuzevuz.syndrome(data=1) == [1, 1, 0, 0]
    assert vuzevuz.global_parity(data=3) == 0
    assert vuzevuz.syndrome_to_index(s=[0, 0, 0, 1]) == 13
    assert vuzevuz.ecc_check(raw_bytes=b"\0\0") == []
    assert vuzevuz.ecc_correct(raw_bytes=b"\0\0") == bytearray(2)


NBSP = "\u00a0"


@pytest.mark.parametrize(
    "func, signature, doc",
    [
        (
            vuzevuz.syndrome,
            "(data)",
            "Calculate the syndrome for a given 16-bit data word.\n"
            "The syndrome is a 4-byte array where each byte represents the parity of specific bits in the data word.\n"
            "\n# Arguments\n"
            "* `data` - A 16-bit unsigned integer representing the data word.\n"
            "# Returns\n"
            "* An array of 4 bytes, each representing the parity of specific bits in the data word.\n",
        ),
        (
            vuzevuz.global_parity,
            "(data)",
            "Calculate the global parity for a 16-bit data word.\n\n"
            "The global parity is the XOR of all bits in the data word, excluding the last bit.\n"
            f"gp = d(0) xor {NBSP}d(1) xor d(2) xor {NBSP}d(3) xor {NBSP}d(4) xor d(5) xor {NBSP}d(6) xor d(7) "
            f"xor {NBSP}d(8) xor {NBSP}d(9) xor d(10) xor d(11) xor d(12) xor d(13) xor d(14)\n"
            "\n# Arguments\n"
            "* `data` - A 16-bit unsigned integer representing the data word.\n"
            "# Returns\n"
            "* An integer representing the global parity of the data word.\n",
        ),
        (
            vuzevuz.syndrome_to_index,
            "(s)",
            "Convert a syndrome to an index based on the corrections.\n\n# Arguments\n* `s` - bit position or None.",
        ),
        (vuzevuz.ecc_check, "(raw_bytes)", None),
        (vuzevuz.ecc_correct, "(raw_bytes)", None),
    ],
)
def test_docstrings(func, signature, doc):
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc
    assert func.__module__ == "vuzevuz"


# --- whole events ------------------------------------------------------------------------------


def test_every_word_in_a_full_event():
    # 96 ranges of 4096 words hold every 16-bit word six times; the frame bytes carry noise
    raw = event(6, fill_frame=True)
    for r in range(96):
        s = range_start(r)
        ws = (np.arange(RANGE_WORDS, dtype=np.uint32) + r * RANGE_WORDS) % 65536
        raw[s : s + 2 * RANGE_WORDS] = ws.astype("<u2").tobytes()
    found = vuzevuz.ecc_check(raw)
    assert found == model_findings(raw)
    assert vuzevuz.ecc_correct(raw) == model_corrected(raw)


@pytest.mark.parametrize("part", range(22))
def test_every_word_alone_in_its_block(part):
    # one word per 128-word block at a varying position, so no neighbour can hide a missed word
    raw = event(6)
    blocks = 96 * 32
    for b in range(blocks):
        w = part * blocks + b
        if w >= 65536:
            break
        r, k = divmod(b, 32)
        put(raw, r, 128 * k + (w * 37) % 128, w)
    assert vuzevuz.ecc_check(raw) == model_findings(raw)


@pytest.mark.parametrize("seed", range(4))
def test_sparse_flips(seed):
    rng = random.Random(seed)
    chips = 1 + seed % 6
    raw = event(chips, fill_frame=True, seed=seed)
    for _ in range(300):
        r, j = rng.randrange(16 * chips), rng.randrange(RANGE_WORDS)
        s = range_start(r) + 2 * j + rng.randrange(2)
        raw[s] ^= 1 << rng.randrange(8)
    found = vuzevuz.ecc_check(raw)
    assert found == model_findings(raw)
    assert vuzevuz.ecc_correct(raw) == model_corrected(raw)


@pytest.mark.parametrize(
    "r, j, word, finding, after",
    [
        (0, 0, 0x0001, (0, 3, 0x0001, 0x0000, 0, 1), 0x0000),
        (1, 0, 0x0003, (0, 8199, 0x0003, 0x0003, 2, 0), 0x0003),
        # a flip of bit 14 or 15 leaves the syndrome zero: reported, but bit 0 is not touched
        (0, 0, 0x4000, (0, 3, 0x4000, 0x4000, 0, 1), 0x4000),
        (0, 0, 0x8000, (0, 3, 0x8000, 0x8000, 0, 1), 0x8000),
        (0, 1, 0xC001, (2, 5, 0xC001, 0xC000, 0, 1), 0xC000),
        (2, 7, 0x3FFF, (14, 16409, 0x3FFF, 0x3FFF, 15, 0), 0x3FFF),
        (2, 7, 0xBFFF, (14, 16409, 0xBFFF, 0x3FFF, 15, 1), 0x3FFF),
        (16, 0, 0x0400, (0, 131143, 0x0400, 0x0000, 10, 1), 0x0000),
        (95, 4095, 0x2000, (8190, 786833, 0x2000, 0x0000, 13, 1), 0x0000),
    ],
)
def test_single_finding(r, j, word, finding, after):
    raw = event(r // 16 + 1)
    put(raw, r, j, word)
    assert vuzevuz.ecc_check(raw) == [finding]
    fixed = vuzevuz.ecc_correct(raw)
    expected = bytearray(raw)
    put(expected, r, j, after)
    assert fixed == expected


def test_findings_follow_range_order():
    raw = event(2)
    for r in reversed(range(32)):
        put(raw, r, 4095 - r, 1 << (r % 16))
        put(raw, r, r, 0x0003)
    found = vuzevuz.ecc_check(raw)
    assert [f[1] for f in found] == sorted(f[1] for f in found)
    assert len(found) == 64 and found == model_findings(raw)


@pytest.mark.parametrize("chips", range(1, 7))
def test_frame_bytes_never_reported(chips):
    raw = event(chips, fill_frame=True, seed=chips)
    assert vuzevuz.ecc_check(raw) == []
    assert vuzevuz.ecc_correct(raw) == raw


def test_two_bytes_hold_no_chip_block():
    assert vuzevuz.ecc_check(b"\xff\xff") == []
    fixed = vuzevuz.ecc_correct(b"\xff\xff")
    assert type(fixed) is bytearray and fixed == b"\xff\xff"


@pytest.mark.parametrize("kind", [bytes, bytearray, list, tuple])
def test_argument_kinds_agree(kind):
    raw = event(1)
    put(raw, 3, 9, 0x0101)
    put(raw, 15, 4095, 0x4000)
    arg = kind(raw)
    assert vuzevuz.ecc_check(arg) == model_findings(raw)
    fixed = vuzevuz.ecc_correct(arg)
    assert type(fixed) is bytearray and fixed == model_corrected(raw)
    assert arg == kind(raw)  # the caller's object is left alone


def test_range_argument():
    assert vuzevuz.ecc_check(range(2)) == []
    assert vuzevuz.ecc_correct(range(7, 9)) == bytearray([7, 8])


@pytest.mark.parametrize("func", [vuzevuz.ecc_check, vuzevuz.ecc_correct])
@pytest.mark.parametrize(
    "arg, exc, match",
    [
        ("\0\0", TypeError, "^argument 'raw_bytes': Can't extract `str` to a list$"),
        ({0, 1}, TypeError, "^argument 'raw_bytes': 'set' object cannot be converted to 'Sequence'$"),
        ({0: 0, 1: 0}, TypeError, "^argument 'raw_bytes': 'dict' object cannot be converted to 'Sequence'$"),
        (5, TypeError, "^argument 'raw_bytes': 'int' object cannot be converted to 'Sequence'$"),
        ((b for b in b"\0\0"), TypeError, "'generator' object cannot be converted to 'Sequence'"),
        (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
        ([0, 1.0], TypeError, "^argument 'raw_bytes': 'float' object cannot be interpreted as an integer$"),
        (["a", 0], TypeError, "^argument 'raw_bytes': 'str' object"),
        ([0, 256], OverflowError, OUT_OF_RANGE),
        ([-1, 0], OverflowError, OUT_OF_RANGE),
        ([0, 2**64], OverflowError, "too large to convert to C long"),
        # items are converted before the length is looked at
        ([300], OverflowError, OUT_OF_RANGE),
        # a long sequence is converted item by item: item 256 fails, not a reservation
        (range(2**62), OverflowError, OUT_OF_RANGE),
    ],
)
def test_raw_bytes_refused(func, arg, exc, match):
    with pytest.raises(exc, match=match) as info:
        func(arg)
    assert type(info.value) is exc


@pytest.mark.parametrize("func", [vuzevuz.ecc_check, vuzevuz.ecc_correct])
@pytest.mark.parametrize(
    "length, match",
    [
        (0, "too short"),
        (1, "too short"),
        (6 * CHIP + 3, "more than 6 chip blocks"),
        (7 * CHIP + 2, "more than 6 chip blocks"),
        (3, "ends inside the channel data"),
        (8196, "ends inside the channel data"),
        (CHIP - 6, "ends inside the channel data"),  # one byte short of channel 15's last word
        (CHIP + 3, "ends inside the channel data"),  # a second chip block of one byte
        (5 * CHIP + 100000, "ends inside the channel data"),
    ],
)
def test_out_of_format_refused(func, length, match):
    with pytest.raises(ValueError, match=match):
        func(bytes(length))


@pytest.mark.parametrize("length", [CHIP - 5, CHIP - 1, CHIP, 2 * CHIP - 5])
def test_short_footer_accepted(length):
    # the last chip block may stop right after its channel data
    raw = bytearray(length)
    r = 16 * chip_blocks(length) - 1
    put(raw, r, 4095, 0x0001)
    assert vuzevuz.ecc_check(raw) == [(8190, range_start(r) + 8190, 1, 0, 0, 1)]
    assert vuzevuz.ecc_correct(raw) == bytearray(length)


def test_concurrent_callers():
    raw = event(6, fill_frame=True)
    rng = random.Random(7)
    for _ in range(200):
        put(raw, rng.randrange(96), rng.randrange(RANGE_WORDS), rng.randrange(65536))
    expected = model_findings(raw)
    results, errors = [], []

    def work():
        try:
            for _ in range(20):
                results.append(vuzevuz.ecc_check(raw) == expected)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(results) == 80 and all(results)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_check_in_forked_child():
    raw = event(6)
    put(raw, 40, 100, 0x0010)
    expected = model_findings(raw)
    assert vuzevuz.ecc_check(raw) == expected  # the pool exists before the fork
    pid = os.fork()
    if pid == 0:
        ok = vuzevuz.ecc_check(raw) == expected and vuzevuz.ecc_correct(raw) == model_corrected(raw)
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
