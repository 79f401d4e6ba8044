// Host callables looked up once and kept: yaml.safe_load, gzip.decompress, pickle.loads.
#pragma once

#include "python_api/ref.hpp"

namespace vuzevuz::py {

// Borrowed references to the cached callables, or null with the lookup's exception set.
PyObject* yaml_safe_load();
PyObject* gzip_decompress();
PyObject* pickle_loads();

}  // namespace vuzevuz::py
