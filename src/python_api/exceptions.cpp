#include "python_api/exceptions.hpp"

#include "python_api/state.hpp"

#include <cerrno>

namespace vuzevuz::py {

namespace {

// The process-wide class of `slot`, created by the first raise that needs it.
PyObject* module_class(PyObject*& slot, const char* qualified_name) {
    return once(slot, [&] { return PyErr_NewException(qualified_name, PyExc_Exception, nullptr); });
}

PyObject* class_object(PendingError::Class c) {
    ProcessState& state = process_state();
    using C = PendingError::Class;
    switch (c) {
        case C::MetadataError: return module_class(state.metadata_error, "acquisition.MetadataError");
        case C::ParsingError: return module_class(state.parsing_error, "acquisition.ParsingError");
        case C::ExportError: return module_class(state.export_error, "acquisition.ExportError");
        case C::FileNotFoundError: return PyExc_FileNotFoundError;
        case C::OSError: return PyExc_OSError;
        case C::IndexError: return PyExc_IndexError;
        case C::ValueError: return PyExc_ValueError;
        case C::RuntimeError: return PyExc_RuntimeError;
        case C::MemoryError: return PyExc_MemoryError;
    }
    return PyExc_RuntimeError;
}

}  // namespace

void PendingError::raise() const {
    if (os_errno != 0) {
        errno = os_errno;
        PyErr_SetFromErrno(PyExc_OSError);
        return;
    }
    PyObject* type = class_object(cls);
    if (!type) {
        SavedError cause = SavedError::fetch();
        set_error(PyExc_RuntimeError, "Failed to initialize new exception type.");
        return;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

PyObject* Failure::raise() const {
    if (error_) error_->raise();
    return nullptr;
}

bool Failure::pass_over() const {
    bool fatal;
    if (error_) {
        fatal = error_->cls == PendingError::Class::MemoryError || error_->os_errno != 0;  // out of descriptors
    } else {
        PyObject* type = PyErr_Occurred();
        fatal = type && (PyErr_GivenExceptionMatches(type, PyExc_MemoryError) ||
                         !PyErr_GivenExceptionMatches(type, PyExc_Exception));
    }
    if (fatal) {
        raise();
        return false;
    }
    if (!error_) PyErr_Clear();
    return true;
}

PendingError pending(const AcquisitionError& e) {
    using K = AcquisitionError::Kind;
    using C = PendingError::Class;
    switch (e.kind) {
        case K::InvalidPath: return {C::FileNotFoundError, "Invalid path"};
        case K::CouldNotRead: return {C::OSError, "Could not read acquisition: " + e.text};
        case K::IndexOutOfBounds: return {C::IndexError, "Index out of bounds"};
        case K::NoSuchMiscData: break;  // the getters answer None before this
    }
    return {C::RuntimeError, "no such optional data"};
}

PendingError pending(ParsingError e) {
    return {PendingError::Class::ParsingError, "Failed to parse event: " + std::string(e.fmt())};
}

PendingError pending(const MetadataError& e) {
    return {PendingError::Class::MetadataError, "Could not process metadata: " + std::string(e.fmt())};
}

PendingError pending(const ExportError& e) {
    return {PendingError::Class::ExportError, "Could not export: " + std::string(e.fmt())};
}

PendingError pending(const NameError& e) { return {PendingError::Class::ValueError, e.text}; }

PendingError pending(const std::system_error& e) {
    const auto& category = e.code().category();
    if (category == std::generic_category() || category == std::system_category())
        return {PendingError::Class::OSError, {}, e.code().value()};
    return {PendingError::Class::RuntimeError, e.what()};
}

}  // namespace vuzevuz::py
