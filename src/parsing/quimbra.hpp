#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct QuimbraEvent : EventHead {
    using EventHead::EventHead;

    static ParseResult<QuimbraEvent> parse_into(Bytes bytes, const Params& params);
};

namespace quimbra {

struct ParamsCache {
    std::size_t channels, samples;
    std::uint32_t num_chips;
    std::uint16_t databitmask, chanmask, chan_shift, windmask, chip_stop_word;
    std::uint32_t n_chip_headers, n_window_headers;

    explicit ParamsCache(const Params& params);
};

}  // namespace quimbra
}  // namespace vuzevuz::parsing
