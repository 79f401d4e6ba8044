#include "python_api/parsing.hpp"

#include <tuple>
#include <utility>

#include "parsing/models.hpp"
#include "python_api/exceptions.hpp"

namespace vuzevuz::py {

namespace {

PyObject* to_py(float v) { return PyFloat_FromDouble(v); }
// Every 16-bit value as a Python int, made once: labels and times are most of an event's objects.
PyObject* to_py(std::uint16_t v) {
    static PyObject** table = [] {
        auto** t = new PyObject*[65536]();
        return t;
    }();
    PyObject*& slot = table[v];
    if (!slot) slot = PyLong_FromLong(v);
    return Ref::borrow(slot).release();
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

PyObject* none() { Py_RETURN_NONE; }

template <class E>
PyObject* event_to_dict(const E& ev) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* timing;
    PyObject* ecc;
    if constexpr (requires { ev.timing; }) timing = to_py(ev.timing);
    else timing = none();
    if (!timing) return nullptr;
    Ref timing_ref = Ref::steal(timing);
    if constexpr (requires { ev.ecc_errors; }) ecc = to_py(ev.ecc_errors);
    else ecc = none();
    if (!ecc) return nullptr;
    Ref ecc_ref = Ref::steal(ecc);
    if (!set_item(dict.get(), "data", to_py(ev.data)) ||
        !set_item(dict.get(), "window_labels", to_py(ev.window_labels)) ||
        !set_item(dict.get(), "time", to_py(ev.time)) ||
        !set_item(dict.get(), "timing", timing_ref.release()) ||
        !set_item(dict.get(), "ecc_errors", ecc_ref.release()))
        return nullptr;
    return dict.release();
}

}  // namespace

Result<Ref> parse_to_dict(const Params& params, std::vector<std::uint8_t> bytes) {
    auto result = parsing::with_event_type(params.model, [&]<class E>(std::type_identity<E>) -> Result<Ref> {
        auto ev = E::parse_into(bytes, params);
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
