#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Ysk16Event : EventHead {
    using EventHead::EventHead;
    static ParseResult<Ysk16Event> parse_into(Bytes bytes, const Params& params);
};

namespace ysk16 {

struct ParamsCache {
    std::size_t channels, windows, samples;
    std::uint32_t n_chip_headers, n_chip_footers, n_window_headers, n_window_footers;
    std::uint16_t data_mask, chanmask, chan_shift, windmask;

    explicit ParamsCache(const Params& params);
};

}  // namespace ysk16
}  // namespace vuzevuz::parsing
