// The sirel96 code rules for single words and the check and correction of raw events.
#include "python_api/functions.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "ecc/sirel96.hpp"
#include "python_api/args.hpp"
#include "python_api/exceptions.hpp"

namespace vuzevuz::py {

namespace {

// A sequence of exactly four 0..255 integers; the length is checked before any item.
bool to_syndrome(PyObject* o, std::array<std::uint8_t, 4>& out) {
    if (!PySequence_Check(o)) {
        type_mismatch(o, "Sequence");
        return false;
    }
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    if (n != 4) {
        set_error_format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", Py_ssize_t{4}, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < 4; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item || !to_u8(item.get(), out[static_cast<std::size_t>(i)])) return false;
    }
    return true;
}

PyObject* syndrome(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"syndrome", {"data"}};
        std::uint16_t data;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_u16, data})) return nullptr;
        return list_of(ecc::syndrome(data), [](std::uint8_t bit) { return PyLong_FromLong(bit); });
    });
}

PyObject* global_parity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"global_parity", {"data"}};
        std::uint16_t data;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_u16, data})) return nullptr;
        return PyLong_FromLong(ecc::global_parity(data));
    });
}

PyObject* syndrome_to_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"syndrome_to_index", {"s"}};
        std::array<std::uint8_t, 4> s;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_syndrome, s})) return nullptr;
        const auto bit = ecc::syndrome_to_index(s);
        if (!bit) Py_RETURN_NONE;
        return PyLong_FromLong(*bit);
    });
}

// The bytes of `raw_bytes`. A bytes or bytearray object is read in place: the interpreter lock
// is held for the whole check and no Python code runs meanwhile, so nothing can change it.
// Any other sequence is converted item by item into `owned`.
struct RawBytes {
    std::vector<std::uint8_t> owned;
    ecc::Bytes view;
};

bool to_raw_bytes(PyObject* o, RawBytes& out) {
    if (PyBytes_Check(o)) {
        out.view = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(o))};
        return true;
    }
    if (PyByteArray_Check(o)) {
        out.view = {reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(o)),
                    static_cast<std::size_t>(PyByteArray_GET_SIZE(o))};
        return true;
    }
    if (!to_u8_list(o, out.owned)) return false;
    out.view = out.owned;
    return true;
}

bool parse_raw_bytes(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     RawBytes& raw) {
    const Signature<1> sig{function, {"raw_bytes"}};
    return parse_fastcall(sig, args, nargs, kwnames, Param{to_raw_bytes, raw});
}

std::expected<std::vector<ecc::EccRecord>, PendingError> check(ecc::Bytes raw) {
    auto found = ecc::_ecc_check(raw);
    if (!found) return std::unexpected(PendingError{PendingError::Class::ValueError, found.error().message()});
    return std::move(*found);
}

PyObject* finding_tuple(const ecc::EccRecord& f) {
    PyObject* word = PyLong_FromLong(f.word);
    PyObject* corrected = f.corrected == f.word ? Py_XNewRef(word) : PyLong_FromLong(f.corrected);
    return tuple_of({PyLong_FromSize_t(f.range_offset), PyLong_FromSize_t(f.event_offset), word, corrected,
                     PyLong_FromLong(f.bit), PyLong_FromLong(f.parity)});
}

PyObject* ecc_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        RawBytes raw;
        if (!parse_raw_bytes("ecc_check", args, nargs, kwnames, raw)) return nullptr;
        const auto found = check(raw.view);
        if (!found) {
            found.error().raise();
            return nullptr;
        }
        return list_of(*found, finding_tuple);
    });
}

PyObject* ecc_correct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        RawBytes raw;
        if (!parse_raw_bytes("ecc_correct", args, nargs, kwnames, raw)) return nullptr;
        // The result starts as a copy of the bytes; it is checked and corrected in place.
        Ref out = Ref::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(raw.view.data()),
                                                           static_cast<Py_ssize_t>(raw.view.size())));
        if (!out) return nullptr;
        const std::span<std::uint8_t> copy(reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(out.get())),
                                           raw.view.size());
        const auto found = check(copy);
        if (!found) {
            found.error().raise();
            return nullptr;
        }
        ecc::write_corrections(copy, *found);
        return out.release();
    });
}

}  // namespace

PyMethodDef syndrome_def = {
    "syndrome", as_method(syndrome),
    METH_FASTCALL | METH_KEYWORDS,
    "syndrome(data)\n--\n\n"
    "Calculate the syndrome for a given 16-bit data word.\n"
    "The syndrome is a 4-byte array where each byte represents the parity of specific bits in the data word.\n"
    "\n"
    "# Arguments\n"
    "* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n"
    "* An array of 4 bytes, each representing the parity of specific bits in the data word.\n"};

PyMethodDef global_parity_def = {
    "global_parity", as_method(global_parity),
    METH_FASTCALL | METH_KEYWORDS,
    "global_parity(data)\n--\n\n"
    "Calculate the global parity for a 16-bit data word.\n"
    "\n"
    "The global parity is the XOR of all bits in the data word, excluding the last bit.\n"
    "gp = d(0) xor \u00A0d(1) xor d(2) xor \u00A0d(3) xor \u00A0d(4) xor d(5) xor \u00A0d(6) xor d(7) xor \u00A0d(8) "
    "xor \u00A0d(9) xor d(10) xor d(11) xor d(12) xor d(13) xor d(14)\n"
    "\n"
    "# Arguments\n"
    "* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n"
    "* An integer representing the global parity of the data word.\n"};

PyMethodDef syndrome_to_index_def = {
    "syndrome_to_index", as_method(syndrome_to_index),
    METH_FASTCALL | METH_KEYWORDS,
    "syndrome_to_index(s)\n--\n\n"
    "Convert a syndrome to an index based on the corrections.\n"
    "\n"
    "# Arguments\n"
    "* `s` - bit position or None."};

PyMethodDef ecc_check_def = {
    "ecc_check", as_method(ecc_check),
    METH_FASTCALL | METH_KEYWORDS,
    "ecc_check(raw_bytes)\n--\n\n"};

PyMethodDef ecc_correct_def = {
    "ecc_correct", as_method(ecc_correct),
    METH_FASTCALL | METH_KEYWORDS,
    "ecc_correct(raw_bytes)\n--\n\n"};

}  // namespace vuzevuz::py
