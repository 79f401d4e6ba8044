// The module initialiser: creates "vuzevuz" once per process and registers its class and functions.
#include <atomic>

#include "python_api/exceptions.hpp"
#include "python_api/functions.hpp"

namespace vuzevuz::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vuzevuz",
    "Registers the Python bindings to brovacquisition.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialised{false};

// Appends `name` to __all__ and sets the attribute; steals `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
    Ref owned = Ref::steal(value);
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    if (!PyList_Check(all.get())) {
        set_error(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) != 0) return false;
    return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

bool vuzevuz(PyObject* module) {
    PyTypeObject* type = acquisition_type();
    if (!type) return false;
    Py_INCREF(type);
    if (!add(module, "Acquisition", reinterpret_cast<PyObject*>(type))) return false;

    PyMethodDef* functions[] = {&list_acquisitions_def, &is_acquisition_def, &export_csv_def,
                                &syndrome_def,          &global_parity_def,  &syndrome_to_index_def,
                                &ecc_check_def,         &ecc_correct_def};
    Ref module_name = Ref::steal(PyUnicode_FromString("vuzevuz"));
    if (!module_name) return false;
    for (PyMethodDef* def : functions) {
        Ref fn = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
        if (!fn) return false;
        Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!name) return false;
        const char* text = PyUnicode_AsUTF8(name.get());
        if (!text || !add(module, text, fn.release())) return false;
    }
    return true;
}

}  // namespace

}  // namespace vuzevuz::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vuzevuz() {
    using namespace vuzevuz::py;
    return guarded([]() -> PyObject* {
        Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
        if (!module) {
            ensure_error();
            return nullptr;
        }
        if (initialised.exchange(true)) {
            set_error(PyExc_ImportError,
                      "the vuzevuz module can be initialised only once per interpreter process");
            return nullptr;
        }
        if (!::vuzevuz::py::vuzevuz(module.get())) {
            ensure_error();
            return nullptr;
        }
        return module.release();
    });
}
