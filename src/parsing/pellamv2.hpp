#pragma once

#include "parsing/korvexv3.hpp"

namespace vuzevuz::parsing {

// Same raw format and fields as korvexv3.
struct Pellamv2Event : Korvexv3Fields {
    using Korvexv3Fields::Korvexv3Fields;
    static ParseResult<Pellamv2Event> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
