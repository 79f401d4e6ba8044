// A ysk16 event is the readout of one chip: little-endian 16-bit words between a chip header and
// a chip footer of a few bytes (defaults in brackets).
//
//   bytes 0 .. n_chip_headers-1        chip header [1 byte], not read
//   `channels` channel blocks of K words, in any channel order:
//     word 0                           channel     = (w & chanmask) >> chan_shift     [0xFF00, 8]
//                                      first label = w & windmask                     [0xFF]
//     words 1 .. n_window_headers-1    not read [1 header word]
//     windows * samples words          samples, window after window: ~w & data_mask   [0x3FF]
//     n_window_footers words           not read [1]
//   n_chip_footers bytes               chip footer [2 bytes], not read
//
// K = n_window_headers + windows * samples + n_window_footers, and the event is exactly
// n_chip_headers + 2 * channels * K + n_chip_footers bytes long. The labels of a block are one turn
// of the ring from its first label: (first + k) mod windows for k = 0 .. windows-1. Shifts count
// modulo 16.
#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Ysk16Event : EventHead {
    using EventHead::EventHead;
    static ParseResult<Ysk16Event> parse_into(Bytes bytes, const Params& params);
};

namespace ysk16 {

inline constexpr std::array setting_table{
    Setting{"data_mask", 0x3FF, Width::Bits16},
    Setting{"chanmask", 0xFF00, Width::Bits16},
    Setting{"chan_shift", 8, Width::Bits16},
    Setting{"windmask", 0xFF, Width::Bits16},
    Setting{"n_chip_headers", 1, Width::Bits32},
    Setting{"n_chip_footers", 2, Width::Bits32},
    Setting{"n_window_headers", 1, Width::Bits32},
    Setting{"n_window_footers", 1, Width::Bits32},
};

struct ParamsCache {
    std::size_t channels, windows, samples;
    std::uint32_t n_chip_headers, n_chip_footers, n_window_headers, n_window_footers;
    std::uint16_t data_mask, chanmask, chan_shift, windmask;

    static ParamsCache from(const Params& params);
};

}  // namespace ysk16
}  // namespace vuzevuz::parsing
