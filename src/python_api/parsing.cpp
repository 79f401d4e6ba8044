#include "python_api/parsing.hpp"

#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "parsing/models.hpp"
#include "python_api/exceptions.hpp"
#include "python_api/numbers.hpp"
#include "python_api/state.hpp"

namespace vuzevuz::py {

namespace {

// The block of shared floats 0.0..65535.0, made on first use; null with MemoryError set.
PyFloatObject* shared_floats() {
    PyFloatObject*& block = process_state().floats;
    if (block) return block;
    auto* made = static_cast<PyFloatObject*>(PyMem_Malloc(sizeof(PyFloatObject) * ProcessState::kNumbers));
    if (!made) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (std::size_t i = 0; i < ProcessState::kNumbers; ++i) {
        PyObject_Init(reinterpret_cast<PyObject*>(&made[i]), &PyFloat_Type);
        made[i].ob_fval = static_cast<double>(i);
    }
    return block = made;
}

// Samples as Python floats of exactly their values. Every value a parser makes of a 16-bit word is
// one of the integral floats 0.0 to 65535.0, handed out as shared objects; any other value is a
// new float.
PyObject* to_py(const std::vector<float>& samples) {
    PyFloatObject* shared = shared_floats();
    if (!shared) return nullptr;
    return list_of(samples, [shared](float v) {
        if (const auto slot = shared_float_slot(v))
            return Ref::borrow(reinterpret_cast<PyObject*>(&shared[*slot])).release();
        return PyFloat_FromDouble(v);
    });
}

// Every 16-bit value as the shared Python int: labels and times are most of an event's objects.
PyObject* to_py(std::uint16_t v) {
    return Ref::borrow(once(process_state().ints[v], [v] { return PyLong_FromLong(v); })).release();
}
PyObject* to_py(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(std::size_t v) { return PyLong_FromSize_t(v); }

template <class... T>
PyObject* to_py(const std::tuple<T...>& t) {
    return std::apply([](const T&... items) { return tuple_of({to_py(items)...}); }, t);
}

template <class T>
PyObject* to_py(const std::vector<T>& v) {
    return list_of(v, [](const T& item) { return to_py(item); });
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    if (!owned) return false;
    return PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// Fields that only some records have.
constexpr auto timing_of = [](const auto& ev) -> decltype((ev.timing)) { return ev.timing; };
constexpr auto ecc_errors_of = [](const auto& ev) -> decltype((ev.ecc_errors)) { return ev.ecc_errors; };

// The record's field converted, or None for a record type without that field.
template <class E, class Field>
PyObject* value_or_none(const E& ev, Field field) {
    if constexpr (std::is_invocable_v<Field, const E&>)
        return to_py(field(ev));
    else
        Py_RETURN_NONE;
}

template <class E>
PyObject* event_to_dict(const E& ev) {
    Ref dict = Ref::steal(PyDict_New());
    PyObject* d = dict.get();
    if (!d || !set_item(d, "data", to_py(ev.data)) || !set_item(d, "window_labels", to_py(ev.window_labels)) ||
        !set_item(d, "time", to_py(ev.time)) || !set_item(d, "timing", value_or_none(ev, timing_of)) ||
        !set_item(d, "ecc_errors", value_or_none(ev, ecc_errors_of)))
        return nullptr;
    return dict.release();
}

}  // namespace

Result<Ref> parse_to_dict(const Params& params, std::vector<std::uint8_t> bytes) {
    auto result = parsing::with_event_type(params.model, [&]<class E>(std::type_identity<E>) -> Result<Ref> {
        auto ev = E::parse_into(bytes, params);
        // The raw copy is done with: free it now, before the lists are made, so it never sits
        // beside them (clear() would keep the capacity).
        std::vector<std::uint8_t>().swap(bytes);
        if (!ev) return failed(ev.error());
        Ref dict = Ref::steal(event_to_dict(*ev));
        if (!dict) return failed(Failure::python());
        return dict;
    });
    if (!result) return failed(result.error());
    return std::move(*result);
}

}  // namespace vuzevuz::py
