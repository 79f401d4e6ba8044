// The merged window order: one row axis for the window labels of all channels of an event.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/util.hpp"

namespace vuzevuz::csv {

// Consumes the channels' label lists from their heads, one label value per pass: the heads of
// wrapped lists (last < first) first while the first increasing list lacks them, else the
// smallest head. Every label of every channel ends up in the result.
std::vector<std::uint16_t> merge_window_labels(const parsing::PerChannel<std::uint16_t>& window_labels);

}  // namespace vuzevuz::csv
