// The Hamming code of sirel96 sample words and the check of whole raw events.
//
// A word carries data in bits 0-9 and check bits in 10-13; a parity over all sixteen
// bits tells a single flipped bit from a double one.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vuzevuz::ecc {

using Bytes = std::span<const std::uint8_t>;

// Bits of the word that enter each syndrome bit s0..s3.
inline constexpr std::array<std::uint16_t, 4> SYNDROME_MASKS = {
    0x055B,  // d0 d1 d3 d4 d6 d8 d10
    0x0A6D,  // d0 d2 d3 d5 d6 d9 d11
    0x138E,  // d1 d2 d3 d7 d8 d9 d12
    0x23F0,  // d4 d5 d6 d7 d8 d9 d13
};

// Bit to correct for syndrome values 1..15, indexed by value - 1.
inline constexpr std::array<std::uint8_t, 15> SYNDROME_TO_BIT = {10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15};

constexpr std::array<std::uint8_t, 4> syndrome(std::uint16_t data) {
    std::array<std::uint8_t, 4> s{};
    for (std::size_t i = 0; i < 4; ++i)
        s[i] = static_cast<std::uint8_t>(std::popcount(static_cast<std::uint16_t>(data & SYNDROME_MASKS[i])) & 1);
    return s;
}

// s0 + 2 s1 + 4 s2 + 8 s3, 0..15.
constexpr std::uint8_t syndrome_value(std::uint16_t data) {
    const auto s = syndrome(data);
    return static_cast<std::uint8_t>(s[0] | s[1] << 1 | s[2] << 2 | s[3] << 3);
}

// 1 when the word has an odd number of set bits.
constexpr std::uint8_t global_parity(std::uint16_t data) { return static_cast<std::uint8_t>(std::popcount(data) & 1); }

// The items are weighted 1, 2, 4, 8 and summed as they are (not reduced to bits),
// so only sums 1..15 name a bit.
constexpr std::optional<std::uint8_t> syndrome_to_index(std::array<std::uint8_t, 4> s) {
    const unsigned v = s[0] + 2u * s[1] + 4u * s[2] + 8u * s[3];
    if (v == 0 || v > 15) return std::nullopt;
    return SYNDROME_TO_BIT[v - 1];
}

// One suspicious word of a raw event.
struct EccRecord {
    std::size_t range_offset;  // within its channel range
    std::size_t event_offset;  // within the raw event
    std::uint16_t word;        // as read
    std::uint16_t corrected;   // what the word is corrected to (== word when not correctable)
    std::uint8_t bit;
    std::uint8_t parity;

    friend bool operator==(const EccRecord&, const EccRecord&) = default;
};

// Layout of a raw event as the check reads it.
inline constexpr std::size_t CHIP_BLOCK_BYTES = 131140;
inline constexpr std::size_t CHANNEL_BLOCK_BYTES = 8196;
inline constexpr std::size_t RANGE_BYTES = 8192;
inline constexpr std::size_t RANGES_PER_CHIP = 16;
inline constexpr std::size_t MAX_CHIP_BLOCKS = 6;
inline constexpr std::size_t CHANNEL_RANGES = RANGES_PER_CHIP * MAX_CHIP_BLOCKS;
inline constexpr std::size_t TRAILING_BYTES = 2;
inline constexpr std::size_t MAX_EVENT_BYTES = CHIP_BLOCK_BYTES * MAX_CHIP_BLOCKS + TRAILING_BYTES;

struct ChannelRange {
    std::size_t start;
    std::size_t end;  // exclusive
};

// The byte ranges of the 96 channels' sample words; built on first use, then only read.
const std::array<ChannelRange, CHANNEL_RANGES>& channel_offsets();

// A raw event the check cannot read.
struct EccFormatError {
    enum class Kind : std::uint8_t {
        TooShort,            // fewer than the two trailing bytes
        TooManyChipBlocks,   // more than six chip blocks
        TruncatedChipBlock,  // the last chip block ends inside its channel data
    };
    Kind kind;
    std::size_t length;

    std::string message() const;
};

// Findings of channel range r of `raw`, in word order. `raw` must hold the whole range.
std::vector<EccRecord> check_channel_range(Bytes raw, std::size_t r);

namespace detail {
// The ways of scanning a range; each one the processor supports gives the same findings.
enum class Scan : std::uint8_t { Portable, NibbleTables, BitMatrix };
bool scan_supported(Scan scan);
// check_channel_range with the given scan, which must be supported.
std::vector<EccRecord> check_channel_range(Scan scan, Bytes raw, std::size_t r);
}  // namespace detail

// Findings of every channel range of the event, range by range, checked on the worker pool.
std::expected<std::vector<EccRecord>, EccFormatError> _ecc_check(Bytes raw);

// Writes the corrected word of every finding with odd parity, low byte first.
void write_corrections(std::span<std::uint8_t> raw, std::span<const EccRecord> findings);

}  // namespace vuzevuz::ecc
