// The text of a 32-bit float in a CSV cell.
#pragma once

#include <cstddef>

namespace vuzevuz::csv {

// Longest text format_float writes ("-0." then 44 zeros then one digit, and some room).
inline constexpr std::size_t kMaxFloatText = 64;

// Writes the shortest decimal digits that read back as `v`, laid out positionally without an
// exponent ("0.0000001", "100000000000000000000", "-0", "inf"); a NaN writes nothing.
// Returns the number of characters written to `out`, which must hold kMaxFloatText.
std::size_t format_float(float v, char* out);

}  // namespace vuzevuz::csv
