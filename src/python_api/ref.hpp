// Owned Python references and small helpers around them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// A saved error indicator, restored (or dropped) later.
class SavedError {
public:
    static SavedError fetch() {
        SavedError e;
        PyErr_Fetch(&e.type_, &e.value_, &e.tb_);
        return e;
    }
    SavedError() = default;
    SavedError(SavedError&& o) noexcept
        : type_(std::exchange(o.type_, nullptr)), value_(std::exchange(o.value_, nullptr)), tb_(std::exchange(o.tb_, nullptr)) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    SavedError& operator=(SavedError&&) = delete;
    ~SavedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    void restore() {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr));
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Releases the interpreter lock for a scope.
class AllowThreads {
public:
    AllowThreads() : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

// Where an interpreter call failed without setting an exception.
inline void ensure_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

}  // namespace vuzevuz::py
