#include "python_api/acquisition.hpp"

#include "acquisition/util.hpp"
#include "python_api/args.hpp"
#include "python_api/exceptions.hpp"
#include "python_api/functions.hpp"
#include "python_api/parsing.hpp"
#include "python_api/python_libs.hpp"
#include "python_api/state.hpp"

namespace vuzevuz::py {

namespace {

// The constructor body.
Result<std::unique_ptr<AcquisitionFields>> construct(std::string root) {
    auto acq = Acquisition::open(std::move(root));
    if (!acq) return failed(acq.error());
    auto text = acq->metadata_str();
    if (!text) return failed(text.error());
    PyObject* safe_load = yaml_safe_load();
    if (!safe_load) return failed(Failure::python());
    Ref text_obj = Ref::steal(PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
    if (!text_obj) return failed(Failure::python());
    Ref metadata = Ref::steal(PyObject_CallOneArg(safe_load, text_obj.get()));
    if (!metadata) return failed(Failure::python());
    auto meta = acq->metadata();
    if (!meta) return failed(meta.error());
    return std::unique_ptr<AcquisitionFields>(
        new AcquisitionFields{std::move(*acq), std::move(meta->params), std::move(metadata)});
}

PyObject* wrap(PyTypeObject* type, std::unique_ptr<AcquisitionFields> fields) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<PyAcquisitionObject*>(self)->fields = fields.release();
    return self;
}

AcquisitionFields& fields_of(PyObject* self) { return *reinterpret_cast<PyAcquisitionObject*>(self)->fields; }

PyObject* acq_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"Acquisition", {"root"}};
        std::string root;
        if (!parse_tuple(sig, args, kwargs, Param{to_path, root})) return nullptr;
        auto fields = construct(std::move(root));
        if (!fields) return fields.error().raise();
        return wrap(type, std::move(*fields));
    });
}

void acq_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<PyAcquisitionObject*>(self)->fields;
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- getters

PyObject* get_is_valid(PyObject* self, void*) {
    return guarded([&] { return PyBool_FromLong(util::is_acquisition(fields_of(self).acquisition.root())); });
}

PyObject* get_path(PyObject* self, void*) {
    return guarded([&] {
        const std::string& root = fields_of(self).acquisition.root();
        return PyUnicode_DecodeUTF8(root.data(), static_cast<Py_ssize_t>(root.size()), "strict");
    });
}

PyObject* get_name(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        auto name = fields_of(self).acquisition.name();
        if (!name) return raise(name.error());
        return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
    });
}

PyObject* get_chunk_count(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromSize_t(fields_of(self).acquisition.chunk_count()); });
}

PyObject* get_metadata(PyObject* self, void*) { return Ref::borrow(fields_of(self).metadata.get()).release(); }

PyObject* get_params(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        PyObject* metadata = fields_of(self).metadata.get();
        if (!PyDict_Check(metadata)) {
            type_mismatch(metadata, "PyDict");
            return nullptr;
        }
        Ref key = Ref::steal(PyUnicode_FromString("params"));
        if (!key) return nullptr;
        PyObject* item = PyDict_GetItemWithError(metadata, key.get());
        if (!item) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
            return nullptr;
        }
        return Ref::borrow(item).release();
    });
}

// The blob decoded by the host's gzip.decompress and pickle.loads; None when absent.
PyObject* load_misc_data(const Acquisition& acquisition, MiscDataKind kind) {
    auto blob = acquisition.misc_data(kind);
    if (!blob) {
        if (blob.error().kind == AcquisitionError::Kind::NoSuchMiscData) Py_RETURN_NONE;
        return raise(blob.error());
    }
    PyObject* decompress = gzip_decompress();
    if (!decompress) return nullptr;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blob->bytes.data()),
                                                     static_cast<Py_ssize_t>(blob->bytes.size())));
    if (!bytes) return nullptr;
    Ref plain = Ref::steal(PyObject_CallOneArg(decompress, bytes.get()));
    if (!plain) return nullptr;
    PyObject* loads = pickle_loads();
    if (!loads) return nullptr;
    return PyObject_CallOneArg(loads, plain.get());
}

template <MiscDataKind K>
PyObject* get_blob(PyObject* self, void*) {
    return guarded([&] { return load_misc_data(fields_of(self).acquisition, K); });
}

PyGetSetDef acq_getset[] = {
    {"is_valid", get_is_valid, nullptr, "Check if the folder is a valid acquisition.", nullptr},
    {"path", get_path, nullptr, "Get the path to the acquisition directory.", nullptr},
    {"name", get_name, nullptr, "Get the name of the acquisition.", nullptr},
    {"chunk_count", get_chunk_count, nullptr, "Get the number of chunks in the acquisition", nullptr},
    {"metadata", get_metadata, nullptr, "Read the metadata from the acquisition.", nullptr},
    {"params", get_params, nullptr, "Get acquisition params.", nullptr},
    {"readout_metadata", get_blob<MiscDataKind::ReadoutMetadata>, nullptr,
     "Read the readout metadata from the acquisition.", nullptr},
    {"pedestals_calibration", get_blob<MiscDataKind::PedestalsCalibration>, nullptr,
     "Read pedestals calibration from the acquisition.", nullptr},
    {"adc_to_mv_calibration", get_blob<MiscDataKind::Adc2mvCalibration>, nullptr,
     "Read ADC to mV calibration from the acquisition.", nullptr},
    {"timing_calibration", get_blob<MiscDataKind::TimingCalibration>, nullptr,
     "Read timing calibration from the acquisition.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods

PyObject* raw_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"raw_event", {"index"}};
        std::uint32_t index;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_u32, index})) return nullptr;
        auto bytes = fields_of(self).acquisition.get(index);
        if (!bytes) return raise(bytes.error());
        Ref raw = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                                       static_cast<Py_ssize_t>(bytes->size())));
        Ref num = Ref::steal(PyLong_FromUnsignedLong(index));
        Ref dict = Ref::steal(PyDict_New());
        if (!raw || !num || !dict || PyDict_SetItemString(dict.get(), "rawdata", raw.get()) != 0 ||
            PyDict_SetItemString(dict.get(), "pkg_num", num.get()) != 0 ||
            PyDict_SetItemString(dict.get(), "event_num", num.get()) != 0)
            return nullptr;
        return dict.release();
    });
}

Result<Ref> fetch_parsed(const AcquisitionFields& f, std::size_t index) {
    auto bytes = f.acquisition.get(index);
    if (!bytes) return failed(bytes.error());
    return parse_to_dict(f.parameters, std::move(*bytes));
}

PyObject* parsed_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"parsed_event", {"index"}};
        std::uint32_t index;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_u32, index})) return nullptr;
        return to_python(fetch_parsed(fields_of(self), index));
    });
}

PyMethodDef acq_methods[] = {
    {"raw_event", as_method(raw_event),
     METH_FASTCALL | METH_KEYWORDS, "raw_event($self, index)\n--\n\nFetch a raw event as `bytes`."},
    {"parsed_event", as_method(parsed_event),
     METH_FASTCALL | METH_KEYWORDS,
     "parsed_event($self, index)\n--\n\nFetch a parsed event.\nRequires the package `dadezuv` to be installed."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- container behaviour

std::expected<std::size_t, AcquisitionError> count(PyObject* self) { return fields_of(self).acquisition.len(); }

Py_ssize_t acq_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        auto n = count(self);
        if (!n) return raise(n.error()), -1;
        if (*n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            return -1;
        }
        return static_cast<Py_ssize_t>(*n);
    });
}

PyObject* map_index_arg(PyObject* key, std::size_t n, const AcquisitionFields& f) {
    if (PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        const auto len = static_cast<Py_ssize_t>(std::min<std::size_t>(n, PY_SSIZE_T_MAX));
        PySlice_AdjustIndices(len, &start, &stop, step);
        if (start < 0 || stop < 0 || step < 0) {
            set_error(PyExc_IndexError, "index out of bounds");
            return nullptr;
        }
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (Py_ssize_t i = start; i < stop; i += step) {
            if (PyErr_CheckSignals() != 0) return nullptr;  // the partial list is dropped
            auto ev = fetch_parsed(f, static_cast<std::size_t>(i));
            if (!ev) return ev.error().raise();
            if (PyList_Append(list.get(), ev->get()) != 0) return nullptr;
            if (stop - i <= step) break;  // no overflow of i past stop
        }
        return list.release();
    }
    Py_ssize_t i = -1;
    if (PyIndex_Check(key)) i = PyNumber_AsSsize_t(key, PyExc_OverflowError);
    if (!PyIndex_Check(key) || (i == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        set_error(PyExc_TypeError, "index must be an int or a slice");
        return nullptr;
    }
    if (i < 0) {
        set_error(PyExc_IndexError, "index out of bounds");
        return nullptr;
    }
    return to_python(fetch_parsed(f, static_cast<std::size_t>(i)));
}

PyObject* acq_getitem(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        auto n = count(self);
        if (!n) return raise(n.error());
        return map_index_arg(key, *n, fields_of(self));
    });
}

PyObject* iter_events_new_for(PyObject* acq);

PyObject* acq_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const AcquisitionFields& f = fields_of(self);
        auto copy = std::unique_ptr<AcquisitionFields>(
            new AcquisitionFields{f.acquisition, f.parameters, Ref::borrow(f.metadata.get())});
        Ref second = Ref::steal(wrap(Py_TYPE(self), std::move(copy)));
        if (!second) return nullptr;
        return iter_events_new_for(second.get());
    });
}

PyType_Slot acq_slots[] = {
    {Py_tp_doc, const_cast<char*>("Pythonic wrapper around the store's [`Acquisition`](acquisition::Acquisition) class.")},
    {Py_tp_new, reinterpret_cast<void*>(acq_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(acq_dealloc)},
    {Py_tp_getset, acq_getset},
    {Py_tp_methods, acq_methods},
    {Py_mp_length, reinterpret_cast<void*>(acq_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(acq_getitem)},
    {Py_tp_iter, reinterpret_cast<void*>(acq_iter)},
    {0, nullptr},
};

PyType_Spec acq_spec = {"vuzevuz.Acquisition", sizeof(PyAcquisitionObject), 0, Py_TPFLAGS_DEFAULT, acq_slots};

// ---- IterEvents

struct IterEventsObject {
    PyObject_HEAD
    PyObject* acq;
    std::size_t count;
};

PyTypeObject* iter_events_type();

PyObject* make_iter(PyTypeObject* type, PyObject* acq) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* it = reinterpret_cast<IterEventsObject*>(self);
    it->acq = Ref::borrow(acq).release();
    it->count = 0;
    return self;
}

PyObject* iter_events_new_for(PyObject* acq) {
    PyTypeObject* type = iter_events_type();
    if (!type) return nullptr;
    return make_iter(type, acq);
}

PyObject* iter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"IterEvents", {"acq"}};
        PyAcquisitionObject* acq;
        if (!parse_tuple(sig, args, kwargs, Param{to_acquisition, acq})) return nullptr;
        return make_iter(type, reinterpret_cast<PyObject*>(acq));
    });
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<IterEventsObject*>(self)->acq);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iter_self(PyObject* self) { return Ref::borrow(self).release(); }

PyObject* iter_next(PyObject* self) {
    // A null result without an exception ends the iteration.
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // As acq[count]: count the events, then fetch and parse. A failure of reading or parsing
        // ends the iteration without raising (so it creates no exception class); out of memory or
        // an interrupt is raised. Either way the same index is tried next time.
        auto* it = reinterpret_cast<IterEventsObject*>(self);
        // Loops in C (list(it), a slice of it) run no signal handler of their own.
        if (PyErr_CheckSignals() != 0) return nullptr;
        auto n = count(it->acq);
        auto ev = n ? fetch_parsed(fields_of(it->acq), it->count) : failed(n.error());
        if (!ev) {
            ev.error().pass_over();
            return nullptr;
        }
        ++it->count;
        return ev->release();
    });
}

PyType_Slot iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over events in an acquisition")},
    {Py_tp_new, reinterpret_cast<void*>(iter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {0, nullptr},
};

PyType_Spec iter_spec = {"vuzevuz.IterEvents", sizeof(IterEventsObject), 0, Py_TPFLAGS_DEFAULT, iter_slots};

PyTypeObject* iter_events_type() {
    return reinterpret_cast<PyTypeObject*>(
        once(process_state().iter_events_type, [] { return PyType_FromSpec(&iter_spec); }));
}

// ---- module functions

PyObject* list_acquisitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"list_acquisitions", {"root_dir"}};
        std::string root_dir;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_path, root_dir})) return nullptr;
        PyTypeObject* type = acquisition_type();
        if (!type) return nullptr;
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const Acquisition& acq : util::list_acquisitions(root_dir)) {
            if (PyErr_CheckSignals() != 0) return nullptr;
            auto fields = construct(acq.root());
            if (!fields) {
                // An entry that cannot be opened is passed over; out of memory or an interrupt ends the listing.
                if (!fields.error().pass_over()) return nullptr;
                continue;
            }
            Ref obj = Ref::steal(wrap(type, std::move(*fields)));
            if (!obj || PyList_Append(list.get(), obj.get()) != 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* is_acquisition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<1> sig{"is_acquisition", {"path"}};
        std::string path;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_path, path})) return nullptr;
        return PyBool_FromLong(util::is_acquisition(path));
    });
}

}  // namespace

bool to_acquisition(PyObject* o, PyAcquisitionObject*& out) {
    PyTypeObject* type = acquisition_type();
    if (!type) return false;
    if (!PyObject_TypeCheck(o, type)) {
        type_mismatch(o, "Acquisition");
        return false;
    }
    out = reinterpret_cast<PyAcquisitionObject*>(o);
    return true;
}

PyTypeObject* acquisition_type() {
    return reinterpret_cast<PyTypeObject*>(
        once(process_state().acquisition_type, [] { return PyType_FromSpec(&acq_spec); }));
}

PyMethodDef list_acquisitions_def = {
    "list_acquisitions", as_method(list_acquisitions),
    METH_FASTCALL | METH_KEYWORDS, "list_acquisitions(root_dir)\n--\n\nList all acquisitions in a directory."};

PyMethodDef is_acquisition_def = {
    "is_acquisition", as_method(is_acquisition),
    METH_FASTCALL | METH_KEYWORDS, "is_acquisition(path)\n--\n\nCheck if a folder is a valid acquisition."};

}  // namespace vuzevuz::py
