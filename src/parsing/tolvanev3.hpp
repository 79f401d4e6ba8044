#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Tolvanev3Event : EventHead {
    using EventHead::EventHead;
    std::uint32_t header_value = 0;
    std::uint8_t header_byte = 0;

    static ParseResult<Tolvanev3Event> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
