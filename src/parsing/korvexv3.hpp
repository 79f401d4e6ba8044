#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

// The record of the korvexv3 raw format, which the pellamv2 boards share.
struct Korvexv3Fields : EventHead {
    using EventHead::EventHead;
    std::uint32_t header_value = 0;
    std::uint16_t header_byte = 0;
};

struct Korvexv3Event : Korvexv3Fields {
    using Korvexv3Fields::Korvexv3Fields;
    static ParseResult<Korvexv3Event> parse_into(Bytes bytes, const Params& params);
};

namespace korvexv3 {

// Parses one event of the korvexv3 format into `out`, which is left unspecified on failure.
std::expected<void, ParsingError> parse_fields(Bytes bytes, const Params& params, Korvexv3Fields& out);

}  // namespace korvexv3
}  // namespace vuzevuz::parsing
