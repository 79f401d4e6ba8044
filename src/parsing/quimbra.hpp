#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct QuimbraEvent : EventHead {
    using EventHead::EventHead;

    static ParseResult<QuimbraEvent> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
