#include "parsing/pellamv2.hpp"

namespace vuzevuz::parsing {

ParseResult<Pellamv2Event> Pellamv2Event::parse_into(Bytes bytes, const Params& params) {
    Pellamv2Event ev;
    if (auto r = korvexv3::parse_fields(bytes, params, ev); !r) return std::unexpected(r.error());
    return ev;
}

}  // namespace vuzevuz::parsing
