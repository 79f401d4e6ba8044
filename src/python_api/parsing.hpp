// A raw event parsed and turned into the dictionary handed to Python.
#pragma once

#include "python_api/ref.hpp"

#include <cstdint>
#include <vector>

#include "acquisition/metadata.hpp"

namespace vuzevuz::py {

// {"data", "window_labels", "time", "timing", "ecc_errors"}, or null with ParsingError raised.
PyObject* parse_to_dict(const Params& params, std::vector<std::uint8_t> bytes);

}  // namespace vuzevuz::py
