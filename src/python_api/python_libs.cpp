#include "python_api/python_libs.hpp"

namespace vuzevuz::py {

namespace {

PyObject* cached(PyObject*& slot, const char* module, const char* attribute) {
    if (slot) return slot;
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref fn = Ref::steal(PyObject_GetAttrString(mod.get(), attribute));
    if (!fn) return nullptr;
    if (!slot) slot = fn.release();  // the import may have filled it meanwhile
    return slot;
}

}  // namespace

PyObject* yaml_safe_load() {
    static PyObject* slot = nullptr;
    return cached(slot, "yaml", "safe_load");
}

PyObject* gzip_decompress() {
    static PyObject* slot = nullptr;
    return cached(slot, "gzip", "decompress");
}

PyObject* pickle_loads() {
    static PyObject* slot = nullptr;
    return cached(slot, "pickle", "loads");
}

}  // namespace vuzevuz::py
