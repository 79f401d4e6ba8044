#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Hestrelv1Event : EventHead {
    using EventHead::EventHead;
    PerChannel<std::uint32_t> timing;

    static ParseResult<Hestrelv1Event> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
