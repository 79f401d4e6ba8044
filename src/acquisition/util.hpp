// Directory test and listing of acquisitions.
#pragma once

#include <string>
#include <vector>

#include "acquisition/acquisition.hpp"

namespace vuzevuz::util {

bool is_acquisition(const std::string& path);

// The acquisitions directly inside `path`, in directory order.
std::vector<Acquisition> list_acquisitions(const std::string& path);

}  // namespace vuzevuz::util
