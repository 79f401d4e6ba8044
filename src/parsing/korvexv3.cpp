#include "parsing/korvexv3.hpp"

namespace vuzevuz::parsing {

ParseResult<Korvexv3Event> Korvexv3Event::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
