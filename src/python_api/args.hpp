// Declared argument conversion for the module's functions and methods.
//
// A function declares its parameter names and one converter per parameter:
//
//     static constexpr Signature<2> sig{"f", {"a", "b"}};
//     std::uint32_t a; std::string b;
//     if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_u32, a}, Param{to_path, b})) return nullptr;
//
// Arguments bind by position or keyword; conversions run in signature order and the first
// failure is raised. A TypeError from a converter becomes "argument 'NAME': <message>".
#pragma once

#include "python_api/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vuzevuz::py {

template <std::size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> names;
};

template <class T>
struct Param {
    bool (*convert)(PyObject*, T&);
    T& out;
};
template <class T>
Param(bool (*)(PyObject*, T&), T&) -> Param<T>;

// Converters: each returns false with a Python exception set.
bool to_u8(PyObject* o, std::uint8_t& out);
bool to_u16(PyObject* o, std::uint16_t& out);
bool to_u32(PyObject* o, std::uint32_t& out);
bool to_bool(PyObject* o, bool& out);                        // exactly True or False
bool to_path(PyObject* o, std::string& out);                 // str or pathlib.Path, file-system encoded
bool to_u8_list(PyObject* o, std::vector<std::uint8_t>& out);    // sequence (not str) of 0..255
bool to_u32_list(PyObject* o, std::vector<std::uint32_t>& out);  // sequence (not str) of 0..2**32-1
bool to_object(PyObject* o, PyObject*& out);                 // any object, borrowed

// TypeError "'T' object cannot be converted to 'target'".
void type_mismatch(PyObject* o, const char* target);
// OverflowError "out of range integral type conversion attempted".
void out_of_range();
// The sequence check used by list arguments: a str is refused, then PySequence_Check.
bool check_list_argument(PyObject* o);

namespace detail {
bool bind(const char* function, const char* const* names, std::size_t n, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** slots);
bool bind_tuple(const char* function, const char* const* names, std::size_t n, PyObject* args, PyObject* kwargs,
                PyObject** slots);
// Re-raises a pending TypeError (exact class) as "argument 'name': ..." with the original as cause.
void prefix_type_error(const char* name);

template <class T>
bool convert(const char* name, PyObject* o, const Param<T>& p) {
    if (p.convert(o, p.out)) return true;
    prefix_type_error(name);
    return false;
}

template <std::size_t N, class... T, std::size_t... I>
bool convert_all(const Signature<N>& sig, PyObject** slots, std::index_sequence<I...>, const Param<T>&... params) {
    return (convert(sig.names[I], slots[I], params) && ...);
}
}  // namespace detail

template <std::size_t N, class... T>
bool parse_fastcall(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const Param<T>&... params) {
    static_assert(sizeof...(T) == N);
    PyObject* slots[N > 0 ? N : 1];
    if (!detail::bind(sig.function, sig.names.data(), N, args, nargs, kwnames, slots)) return false;
    return detail::convert_all(sig, slots, std::index_sequence_for<T...>{}, params...);
}

// The same for tuple-and-dict calls (type constructors).
template <std::size_t N, class... T>
bool parse_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs, const Param<T>&... params) {
    static_assert(sizeof...(T) == N);
    PyObject* slots[N > 0 ? N : 1];
    if (!detail::bind_tuple(sig.function, sig.names.data(), N, args, kwargs, slots)) return false;
    return detail::convert_all(sig, slots, std::index_sequence_for<T...>{}, params...);
}

}  // namespace vuzevuz::py
