// A tolvanev3 event is a run of big-endian 16-bit words that states neither its channel count J
// nor its window count: both follow from the event's byte length through the length table
// (get_chan_winds). Defaults in brackets.
//
//   words 0 .. n_event_headers-1       event header [3 words], not read
//   windows of W words, as many as the payload holds whole:
//     J channel blocks of `block` words:
//       word 0                         channel = (w & chanmask) >> chan_shift          [0xC00, 10]
//                                      label   = (w & windmask) >> n_last_bits         [0x3FE, 1]
//       words 1 .. block-1             samples: (w & datamask) >> n_last_bits          [0x1FFF, 1]
//     n_window_headers words           not read while shorter than a block [1]
//   last n_footer_words-1 words        not read [1 word]
//
// block = n_channel_headers [1] + samples and W = J * block + n_window_headers; the payload runs
// from word n_event_headers to word N - n_footer_words. The length table keys an event of I
// windows of J channels by 8 + 2 * I * (J * block + 1) bytes, its length with the defaults.
// Shifts count modulo 16.
#pragma once

#include <optional>
#include <utility>

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Tolvanev3Event : EventHead {
    using EventHead::EventHead;
    std::uint32_t header_value = 0;
    std::uint16_t header_byte = 0;

    static ParseResult<Tolvanev3Event> parse_into(Bytes bytes, const Params& params);
};

namespace tolvanev3 {

inline constexpr std::array setting_table{
    Setting{"n_channel_headers", 1, Width::Bits32},
    Setting{"chanmask", 0xC00, Width::Bits16},
    Setting{"chan_shift", 10, Width::Bits16},
    Setting{"windmask", 0x3FE, Width::Bits16},
    Setting{"datamask", 0x1FFF, Width::Bits16},
    Setting{"n_event_headers", 3, Width::Bits32},
    Setting{"n_window_headers", 1, Width::Bits32},
    Setting{"n_footer_words", 2, Width::Bits32},
    Setting{"n_last_bits", 1, Width::Bits32},
};

struct ParamsCache {
    std::size_t channels, windows, samples;
    std::uint32_t n_event_headers, n_window_headers, n_footer_words, n_last_bits;
    std::size_t block;     // words of one channel block
    bool block_overflows;  // n_channel_headers + samples beyond a machine word
    std::uint16_t chanmask, chan_shift, windmask, datamask;

    static ParamsCache from(const Params& params);
};

// (channels, windows) that an event of `byte_length` bytes stands for: among the pairs
// (j, i), 1 <= j <= channels and 1 <= i < windows, with (j * block + 1) * 2 * i + 8 equal to
// the length, the only one, or else the one with most channels whose first window fits.
std::optional<std::pair<std::size_t, std::size_t>> get_chan_winds(std::size_t byte_length, const ParamsCache& pc);

}  // namespace tolvanev3
}  // namespace vuzevuz::parsing
