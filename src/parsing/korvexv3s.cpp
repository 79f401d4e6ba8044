#include "parsing/korvexv3s.hpp"

namespace vuzevuz::parsing {

ParseResult<Korvexv3SEvent> Korvexv3SEvent::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
