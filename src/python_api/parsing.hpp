// A raw event parsed and turned into the dictionary handed to Python.
#pragma once

#include "python_api/ref.hpp"

#include <cstdint>
#include <vector>

#include "acquisition/metadata.hpp"
#include "python_api/exceptions.hpp"

namespace vuzevuz::py {

// {"data", "window_labels", "time", "timing", "ecc_errors"}, or the failure (a ParsingError not
// raised yet, or the interpreter's own when it could not make an object).
Result<Ref> parse_to_dict(const Params& params, std::vector<std::uint8_t> bytes);

}  // namespace vuzevuz::py
