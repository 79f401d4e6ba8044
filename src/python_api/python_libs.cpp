#include "python_api/python_libs.hpp"

#include "python_api/state.hpp"

namespace vuzevuz::py {

namespace {

PyObject* cached(PyObject*& slot, const char* module, const char* attribute) {
    return once(slot, [&]() -> PyObject* {
        Ref mod = Ref::steal(PyImport_ImportModule(module));
        if (!mod) return nullptr;
        return PyObject_GetAttrString(mod.get(), attribute);
    });
}

}  // namespace

PyObject* yaml_safe_load() { return cached(process_state().yaml_safe_load, "yaml", "safe_load"); }
PyObject* gzip_decompress() { return cached(process_state().gzip_decompress, "gzip", "decompress"); }
PyObject* pickle_loads() { return cached(process_state().pickle_loads, "pickle", "loads"); }

}  // namespace vuzevuz::py
