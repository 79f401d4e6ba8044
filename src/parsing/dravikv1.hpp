#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Dravikv1Event : EventHead {
    using EventHead::EventHead;

    static ParseResult<Dravikv1Event> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
