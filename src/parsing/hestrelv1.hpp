// A hestrel event is a run of big-endian 16-bit words forming packets, each closed by stop_word
// [0xFA5A]. A segment of another length between stop words, and the words after the last stop
// word, are passed over. Defaults in brackets.
//
//   packet (W = packet_size / 2 + 1 words [37]):
//     word 0                           channel = w & chanmask                          [0x3F]
//     word 1                           timing, high part: w & timing_mask              [0xFFF]
//     word 2                           timing, low part:  w & timing_mask
//     word 3                           label = w & abs_wind_mask                       [0x3F]
//     words headers .. headers+samples-1   samples, taken whole                        [headers 4]
//     word W-1                         stop_word
//
// timing = (word 1 & timing_mask) << (timing_shift mod 32) [12] | (word 2 & timing_mask). A packet
// whose samples are all 0 is passed over. The time axis follows the timing values, not the labels.
#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Hestrelv1Event : EventHead {
    PerChannel<std::uint32_t> timing;

    Hestrelv1Event() = default;
    explicit Hestrelv1Event(std::size_t channels) : EventHead(channels), timing(lists_for<std::uint32_t>(channels)) {}

    static ParseResult<Hestrelv1Event> parse_into(Bytes bytes, const Params& params);
};

namespace hestrelv1 {

inline constexpr std::array setting_table{
    Setting{"chanmask", 0x3F, Width::Bits16},
    Setting{"abs_wind_mask", 0x3F, Width::Bits16},
    Setting{"timing_mask", 0xFFF, Width::Bits16},
    Setting{"timing_shift", 12, Width::Bits32},
    Setting{"packet_size", 72, Width::Bits32},
    Setting{"headers", 4, Width::Bits32},
    Setting{"stop_word", 0xFA5A, Width::HexText16},
};

struct ParamsCache {
    std::size_t channels, samples;
    std::uint16_t chanmask, abs_wind_mask, timing_mask;
    std::uint32_t timing_shift;
    std::size_t packet_words;  // W: packet_size / 2 + 1
    std::uint32_t headers;
    std::uint16_t stop_word;

    static ParamsCache from(const Params& params);
};

}  // namespace hestrelv1
}  // namespace vuzevuz::parsing
