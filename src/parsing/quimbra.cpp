#include "parsing/quimbra.hpp"

namespace vuzevuz::parsing {

ParseResult<QuimbraEvent> QuimbraEvent::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
