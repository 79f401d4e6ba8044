#include "parsing/pellamv2.hpp"

namespace vuzevuz::parsing {

ParseResult<Pellamv2Event> Pellamv2Event::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
