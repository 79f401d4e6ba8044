#include "parsing/sirel96.hpp"

namespace vuzevuz::parsing {

ParseResult<Sirel96Event> Sirel96Event::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
