#include "python_api/args.hpp"

#include <algorithm>
#include <climits>
#include <string_view>

namespace vuzevuz::py {

void type_mismatch(PyObject* o, const char* target) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
    const char* tname = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!tname) {
        PyErr_Clear();
        tname = Py_TYPE(o)->tp_name;
    }
    set_error_format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", tname, target);
}

void out_of_range() { set_error(PyExc_OverflowError, "out of range integral type conversion attempted"); }

namespace {

// Integer through __index__, then the interpreter's signed long conversion, then [0, max].
bool to_small_unsigned(PyObject* o, long max, long& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > max) {
        out_of_range();
        return false;
    }
    out = v;
    return true;
}

}  // namespace

bool to_u8(PyObject* o, std::uint8_t& out) {
    long v;
    if (!to_small_unsigned(o, 0xFF, v)) return false;
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool to_u16(PyObject* o, std::uint16_t& out) {
    long v;
    if (!to_small_unsigned(o, 0xFFFF, v)) return false;
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_u32(PyObject* o, std::uint32_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (v > 0xFFFFFFFFull) {
        out_of_range();
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_bool(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    type_mismatch(o, "PyBool");
    return false;
}

namespace {

bool str_to_path(PyObject* s, std::string& out) {
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(s));
    if (!bytes) return false;
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) != 0) return false;
    out.assign(data, static_cast<std::size_t>(len));
    return true;
}

}  // namespace

bool to_path(PyObject* o, std::string& out) {
    if (PyUnicode_Check(o)) return str_to_path(o, out);
    Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
    if (!pathlib) return false;
    Ref path_type = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
    if (!path_type) return false;
    const int is_path = PyObject_IsInstance(o, path_type.get());
    if (is_path < 0) return false;
    if (!is_path) {
        type_mismatch(o, "PyString");
        return false;
    }
    Ref text = Ref::steal(PyObject_CallMethod(o, "__str__", nullptr));
    if (!text) return false;
    if (!PyUnicode_Check(text.get())) {
        type_mismatch(text.get(), "PyString");
        return false;
    }
    return str_to_path(text.get(), out);
}

bool check_list_argument(PyObject* o) {
    if (PyUnicode_Check(o)) {
        set_error(PyExc_TypeError, "Can't extract `str` to a list");
        return false;
    }
    if (!PySequence_Check(o)) {
        type_mismatch(o, "Sequence");
        return false;
    }
    return true;
}

namespace {

constexpr std::size_t kFirstReservation = 4096;

template <class T>
bool to_list(PyObject* o, std::vector<T>& out, bool (*item)(PyObject*, T&)) {
    if (!check_list_argument(o)) return false;
    // The length a sequence reports is only a hint: items are converted one by one, and the list
    // grows as they arrive, so a huge range fails at its first bad item, not at the reservation.
    // As for the interpreter's own length hint, only a TypeError (no length) is passed over.
    const Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
    } else {
        out.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), kFirstReservation));
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        if (PyErr_CheckSignals() != 0) return false;
        T v;
        if (!item(x.get(), v)) return false;
        out.push_back(v);
    }
    return !PyErr_Occurred();
}

}  // namespace

bool to_u8_list(PyObject* o, std::vector<std::uint8_t>& out) {
    // bytes and bytearray: one copy, no per-item conversion.
    if (PyBytes_Check(o)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o));
        out.assign(p, p + PyBytes_GET_SIZE(o));
        return true;
    }
    if (PyByteArray_Check(o)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(o));
        out.assign(p, p + PyByteArray_GET_SIZE(o));
        return true;
    }
    return to_list(o, out, to_u8);
}

bool to_u32_list(PyObject* o, std::vector<std::uint32_t>& out) { return to_list(o, out, to_u32); }

bool to_object(PyObject* o, PyObject*& out) {
    out = o;
    return true;
}

namespace detail {

namespace {

void too_many(const char* function, std::size_t n, Py_ssize_t given) {
    set_error_format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", function, n,
                     n == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

// Places keyword `key` into its slot; false with TypeError set.
bool place_keyword(const char* function, const char* const* names, std::size_t n, PyObject* key, PyObject* value,
                   PyObject** slots) {
    if (!PyUnicode_Check(key)) {
        set_error_format(PyExc_TypeError, "%s() keywords must be strings", function);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
            if (slots[i]) {
                set_error_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[i]);
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    set_error_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
    return false;
}

bool check_missing(const char* function, const char* const* names, std::size_t n, PyObject** slots) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!slots[i]) {
            set_error_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i],
                             i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind(const char* function, const char* const* names, std::size_t n, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** slots) {
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(nargs) > n) {
        too_many(function, n, nargs);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(function, names, n, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
    return check_missing(function, names, n, slots);
}

bool bind_tuple(const char* function, const char* const* names, std::size_t n, PyObject* args, PyObject* kwargs,
                PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > n) {
        too_many(function, n, nargs);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        slots[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(function, names, n, key, value, slots)) return false;
    }
    return check_missing(function, names, n, slots);
}

void prefix_type_error(const char* name) {
    if (!PyErr_Occurred()) {
        ensure_error();
        return;
    }
    // Normalized before its class is looked at: a TypeError whose message could not be made is
    // a MemoryError by then.
    Ref cause = SavedError::fetch().take_exception();
    if (!cause) return ensure_error();
    if (Py_TYPE(cause.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {  // subclasses pass unchanged
        raise_instance(std::move(cause));
        return;
    }
    Ref text = Ref::steal(PyObject_Str(cause.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!exc) return;
    PyException_SetCause(exc.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, exc.get());
}

}  // namespace detail
}  // namespace vuzevuz::py
