#include "python_api/functions.hpp"

namespace vuzevuz::py {

namespace {

PyObject* not_yet(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "sirel96 code");
    return nullptr;
}


}  // namespace

PyMethodDef syndrome_def = {"syndrome", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                            METH_FASTCALL | METH_KEYWORDS, "syndrome(data)\n--\n\n"};
PyMethodDef global_parity_def = {"global_parity", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                                 METH_FASTCALL | METH_KEYWORDS, "global_parity(data)\n--\n\n"};
PyMethodDef syndrome_to_index_def = {"syndrome_to_index",
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                                     METH_FASTCALL | METH_KEYWORDS, "syndrome_to_index(s)\n--\n\n"};
PyMethodDef ecc_check_def = {"ecc_check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                             METH_FASTCALL | METH_KEYWORDS, "ecc_check(raw_bytes)\n--\n\n"};
PyMethodDef ecc_correct_def = {"ecc_correct", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                               METH_FASTCALL | METH_KEYWORDS, "ecc_correct(raw_bytes)\n--\n\n"};

}  // namespace vuzevuz::py
