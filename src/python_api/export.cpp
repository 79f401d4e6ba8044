#include "python_api/functions.hpp"

namespace vuzevuz::py {

namespace {

PyObject* export_csv(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "export_csv");
    return nullptr;
}

}  // namespace

PyMethodDef export_csv_def = {"export_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(export_csv)),
                              METH_FASTCALL | METH_KEYWORDS,
                              "export_csv(acq, indices, out_dir, pedestals_correction)\n--\n\n"};

}  // namespace vuzevuz::py
