#include "parsing/pellamv2.hpp"

namespace vuzevuz::parsing {

ParseResult<Pellamv2Event> Pellamv2Event::parse_into(Bytes bytes, const Params& params) {
    return korvexv3::parse_as<Pellamv2Event>(bytes, params);
}

}  // namespace vuzevuz::parsing
