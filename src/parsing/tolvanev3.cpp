#include "parsing/tolvanev3.hpp"

namespace vuzevuz::parsing {

ParseResult<Tolvanev3Event> Tolvanev3Event::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
