// Error values of the core turned into Python exceptions.
#pragma once

#include "python_api/ref.hpp"

#include <exception>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "error/error.hpp"

namespace vuzevuz::py {

// An exception to raise: its class and one message. Built without the interpreter lock.
struct PendingError {
    enum class Class {
        MetadataError, ParsingError, ExportError,  // the module's own classes
        FileNotFoundError, OSError, IndexError, ValueError, RuntimeError, MemoryError,
    };
    Class cls;
    std::string message;
    int os_errno = 0;  // OSError only: raised as the interpreter raises that errno, without `message`

    // Sets the interpreter's error indicator; needs the lock.
    void raise() const;
};

PendingError pending(const AcquisitionError& e);
PendingError pending(ParsingError e);
PendingError pending(const MetadataError& e);
PendingError pending(const ExportError& e);
PendingError pending(const NameError& e);
// OSError (or its subclass) for the errno of a system_error, such as running out of descriptors.
PendingError pending(const std::system_error& e);

// Raise the error; always returns null, for `return raise(e);`.
template <class E>
PyObject* raise(const E& e) {
    pending(e).raise();
    return nullptr;
}

// A failure on its way out: an error value not raised yet, or an exception that the interpreter
// already holds (a host call or an allocation failed). Raising it is what creates a module
// exception class; a caller that passes over the failure drops it and creates nothing.
class Failure {
public:
    Failure(PendingError e) : error_(std::move(e)) {}
    template <class E>
        requires requires(const E& e) { pending(e); }
    Failure(const E& e) : error_(pending(e)) {}
    // The interpreter's error indicator holds it.
    static Failure python() { return Failure(); }

    // Sets the error indicator (already set for python()); always returns null.
    PyObject* raise() const;
    // For callers that pass over failures of reading or parsing: drops this one and returns true,
    // unless it is out of memory or descriptors or an exception that is no Exception
    // (KeyboardInterrupt, SystemExit); that one is raised instead, and the result is false.
    bool pass_over() const;

private:
    Failure() = default;
    std::optional<PendingError> error_;
};

template <class T>
using Result = std::expected<T, Failure>;

inline std::unexpected<Failure> failed(Failure f) { return std::unexpected(std::move(f)); }

// The reference of a result handed to the interpreter, or null with the failure raised.
inline PyObject* to_python(Result<Ref>&& r) { return r ? r->release() : r.error().raise(); }

// Runs an entry point body; a C++ exception becomes a Python exception, never unwinding into the interpreter.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& e) {
        pending(e).raise();
    } catch (const std::exception& e) {
        set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        set_error(PyExc_RuntimeError, "internal error");
    }
    return on_error;
}

// The same for a call that returns an object: a null result always comes with an exception.
template <class F>
PyObject* guarded(F&& body) noexcept {
    PyObject* result = guarded<PyObject*>(nullptr, std::forward<F>(body));
    if (!result) ensure_error();
    return result;
}

}  // namespace vuzevuz::py
