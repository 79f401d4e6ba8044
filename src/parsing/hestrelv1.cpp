#include "parsing/hestrelv1.hpp"

namespace vuzevuz::parsing {

ParseResult<Hestrelv1Event> Hestrelv1Event::parse_into(Bytes, const Params&) { return fail(ParsingError::Kind::UnsupportedModel); }

}  // namespace vuzevuz::parsing
