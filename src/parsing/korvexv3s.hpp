#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Korvexv3SEvent : EventHead {
    using EventHead::EventHead;
    std::vector<std::uint16_t> window_last_words;

    static ParseResult<Korvexv3SEvent> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
