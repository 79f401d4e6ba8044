// Every Python object the module keeps for the life of the process, in one place.
//
// The module has no per-module state: a process holds at most one module object, so what the
// module keeps is kept process-wide. Nothing here is made when the shared object loads (the
// struct is all null until used); each value is made by the first operation that needs it,
// through once(), and then stays until the process ends. Every access holds the interpreter lock.
#pragma once

#include "python_api/ref.hpp"

#include <array>
#include <cstddef>

namespace vuzevuz::py {

struct ProcessState {
    // The module's exception classes, each made by the first raise of that class.
    PyObject* metadata_error = nullptr;
    PyObject* parsing_error = nullptr;
    PyObject* export_error = nullptr;

    // Type objects: "Acquisition" made by the module initialiser, "IterEvents" by the first iter().
    PyObject* acquisition_type = nullptr;
    PyObject* iter_events_type = nullptr;

    // Host callables, looked up on first use; a failed lookup leaves the slot empty for the next try.
    PyObject* yaml_safe_load = nullptr;   // first Acquisition construction
    PyObject* gzip_decompress = nullptr;  // first blob that exists
    PyObject* pickle_loads = nullptr;     // after the first decompression

    // The numbers an event dictionary is made of, shared by every list. The ints 0..65535 (labels,
    // times), each made the first time it is handed out; the floats 0.0..65535.0 (samples), made
    // all at once by the first event, in one block in value order, so that finding the object of a
    // sample costs no lookup. The block holds one reference to each of its floats, never released,
    // so none of them is ever deallocated.
    static constexpr std::size_t kNumbers = 65536;
    std::array<PyObject*, kNumbers> ints{};
    PyFloatObject* floats = nullptr;
};

inline ProcessState& process_state() {
    static constinit ProcessState state;
    return state;
}

// The object in `slot`, made by `make` (a new reference, or null with the exception set) when the
// slot is empty. Making may run interpreter code that fills the slot meanwhile: then the slot's
// object stays and the new one is released. Borrowed; null with the exception set.
template <class Make>
PyObject* once(PyObject*& slot, Make&& make) {
    if (slot) return slot;
    PyObject* made = make();
    if (!made) return nullptr;
    if (slot)
        Py_DECREF(made);
    else
        slot = made;
    return slot;
}

}  // namespace vuzevuz::py
