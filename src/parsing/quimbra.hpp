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
