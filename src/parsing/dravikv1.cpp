#include "parsing/dravikv1.hpp"

namespace vuzevuz::parsing {

ParseResult<Dravikv1Event> Dravikv1Event::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
