#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Korvexv3Event : EventHead {
    using EventHead::EventHead;
    std::uint32_t header_value = 0;
    std::uint8_t header_byte = 0;

    static ParseResult<Korvexv3Event> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
