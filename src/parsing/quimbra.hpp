// A quimbra event is a run of big-endian 16-bit words: chip pieces separated by single
// chip_stop_word [0xFFFF] words. The event's last word is never read: normally the stop word after
// the last chip. Defaults in brackets.
//
//   chip piece:
//     word 0                           chip number in bits 12-15
//     words 1 .. n_chip_headers-1      not read [3 header words]
//     windows of R words:
//       word 0                         channel = chip * chans_per_chip
//                                                + ((w & chanmask) >> chan_shift)      [0x300, 8]
//                                      label   = w & windmask                          [0xFF]
//       words 1 .. n_window_headers-1  not read [1 header word]
//       `samples` words                samples: w & databitmask                        [0xFFF]
//   chip_stop_word                     between pieces
//
// R = n_window_headers + samples and chans_per_chip = channels / num_chips [2]. A piece of its
// header words only is passed over; any other must hold whole windows. chan_shift counts modulo 16.
#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct QuimbraEvent : EventHead {
    using EventHead::EventHead;

    static ParseResult<QuimbraEvent> parse_into(Bytes bytes, const Params& params);
};

namespace quimbra {

inline constexpr std::array setting_table{
    Setting{"num_chips", 2, Width::Bits32},
    Setting{"databitmask", 0xFFF, Width::Bits16},
    Setting{"chanmask", 0x300, Width::Bits16},
    Setting{"chan_shift", 8, Width::Bits16},
    Setting{"windmask", 0xFF, Width::Bits16},
    Setting{"chip_stop_word", 0xFFFF, Width::Bits16},
    Setting{"n_chip_headers", 3, Width::Bits32},
    Setting{"n_window_headers", 1, Width::Bits32},
};

struct ParamsCache {
    std::size_t channels, samples;
    std::uint32_t num_chips;
    std::uint16_t databitmask, chanmask, chan_shift, windmask, chip_stop_word;
    std::uint32_t n_chip_headers, n_window_headers;

    static ParamsCache from(const Params& params);
};

}  // namespace quimbra
}  // namespace vuzevuz::parsing
