// Owned Python references and small helpers around them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <initializer_list>
#include <iterator>
#include <utility>

namespace vuzevuz::py {

// One strong reference, released when dropped.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (null stays null).
    static Ref steal(PyObject* o) { return Ref(o); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// A saved error indicator, taken as an exception instance or dropped.
class SavedError {
public:
    static SavedError fetch() {
        SavedError e;
#if PY_VERSION_HEX >= 0x030C0000
        e.exc_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        e.type_ = Ref::steal(type);
        e.value_ = Ref::steal(value);
        e.tb_ = Ref::steal(tb);
#endif
        return e;
    }
    // The saved exception as an instance carrying its traceback; the saved error is used up.
    Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
        return std::move(exc_);
#else
        PyObject* type = type_.release();
        PyObject* value = value_.release();
        PyObject* tb = tb_.release();
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb && value) PyException_SetTraceback(value, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        return Ref::steal(value);
#endif
    }

private:
    // From 3.12 on a raised exception is one object; before, a (type, value, traceback) triple.
#if PY_VERSION_HEX >= 0x030C0000
    Ref exc_;
#else
    Ref type_, value_, tb_;
#endif
};

// Raises `exc`, an exception instance, with its class and traceback; takes over the reference.
inline void raise_instance(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A fast-call-with-keywords function as the method table stores it.
inline PyCFunction as_method(FastCall f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

// A new list of convert(item) for each item, in order; null with the exception set when a
// conversion (or the list) fails.
template <class Range, class F>
PyObject* list_of(const Range& items, F&& convert) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* o = convert(item);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), i++, o);
    }
    return list.release();
}

// A new tuple that takes over the given new references; when one of them (or the tuple) is
// null, the others are released and the result is null.
inline PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    bool ok = static_cast<bool>(tuple);
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        ok = ok && o;
        if (ok)
            PyTuple_SET_ITEM(tuple.get(), i++, o);
        else
            Py_XDECREF(o);
    }
    return ok ? tuple.release() : nullptr;
}

// PyErr_SetString and PyErr_Format, except where the message itself cannot be made: then the
// MemoryError of that stays set, where some interpreters (3.10) set `type` without a message.
inline void set_error(PyObject* type, const char* text) {
    if (Ref message = Ref::steal(PyUnicode_FromString(text))) PyErr_SetObject(type, message.get());
}
inline void set_error_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (message) PyErr_SetObject(type, message.get());
}

// Where an interpreter call failed without setting an exception.
inline void ensure_error() {
    if (!PyErr_Occurred()) set_error(PyExc_SystemError, "attempted to fetch exception but none was set");
}

}  // namespace vuzevuz::py
