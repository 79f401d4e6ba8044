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
