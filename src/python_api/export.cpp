// export_csv(acq, indices, out_dir, pedestals_correction): the CSV export, run without the
// interpreter lock but for the moments in which it lets the signal handlers run.
#include "python_api/functions.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "calibration/corrections.hpp"
#include "calibration/pedestals.hpp"
#include "export/csv.hpp"
#include "python_api/acquisition.hpp"
#include "python_api/args.hpp"
#include "python_api/exceptions.hpp"

namespace vuzevuz::py {

namespace {

constexpr std::size_t kBlockSize = 1000;

// How often, at most, the export takes the lock back to let the interpreter run its signal handlers.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(20);

// Whether this is the interpreter's main thread, the only one on which signal handlers run;
// null with the exception set when that cannot be told.
std::optional<bool> on_main_thread() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return std::nullopt;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return std::nullopt;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return std::nullopt;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) return std::nullopt;
    return id == PyThread_get_thread_ident();
}

// Asked by the export between events: now and then it takes the lock back and runs the signal
// handlers; a handler that raises ends the export, its exception left set for the caller.
class SignalCheck {
public:
    explicit SignalCheck(AllowThreads& unlocked) : unlocked_(&unlocked) {}

    bool operator()() {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return false;
        next_ = now + kSignalCheckInterval;
        return unlocked_->relocked([] { return PyErr_CheckSignals() != 0; });
    }

private:
    AllowThreads* unlocked_;
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + kSignalCheckInterval;
};

// The whole export; touches no Python object, so it runs without the lock (but for the moments
// in which `interruption` takes it back). Failures come back as the exception to raise once the
// lock is held again; none comes back for an interruption, whose exception is already set.
std::optional<PendingError> run_export(const Acquisition& acq, const std::vector<std::uint32_t>& indices,
                                       std::string out_dir, bool pedestals_correction,
                                       csv::Interruption* interruption) noexcept {
    try {
        Params params;
        {
            auto meta = acq.metadata();
            if (!meta) return pending(meta.error());
            params = std::move(meta->params);
        }

        std::optional<calibration::Pedestals> table;
        if (pedestals_correction) {
            // An absent, unreadable or undecodable blob means an export without correction.
            if (auto blob = acq.misc_data(MiscDataKind::PedestalsCalibration)) {
                if (auto p = calibration::Pedestals::from_bytes(blob->bytes)) table = std::move(*p);
            }
        }
        auto corrections = calibration::Corrections(params).with_pedestals(std::move(table));

        auto done = csv::export_csv_from_acq(acq, indices, std::move(corrections), std::move(out_dir), kBlockSize,
                                             interruption);
        if (done) return std::nullopt;
        return std::visit(
            []<class E>(const E& e) -> std::optional<PendingError> {
                if constexpr (std::is_same_v<E, csv::ZeroBlockSize>)
                    return PendingError{PendingError::Class::ValueError, "block size must be at least 1"};
                else if constexpr (std::is_same_v<E, csv::Interrupted>)
                    return std::nullopt;
                else
                    return pending(e);
            },
            done.error());
    } catch (const std::bad_alloc&) {
        return PendingError{PendingError::Class::MemoryError, "out of memory during the export"};
    } catch (const std::system_error& e) {
        return pending(e);
    } catch (const std::exception& e) {
        return PendingError{PendingError::Class::RuntimeError, e.what()};
    } catch (...) {
        return PendingError{PendingError::Class::RuntimeError, "internal error"};
    }
}

PyObject* export_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature<4> sig{"export_csv", {"acq", "indices", "out_dir", "pedestals_correction"}};
        PyAcquisitionObject* acq = nullptr;
        std::vector<std::uint32_t> indices;
        std::string out_dir;
        bool pedestals_correction = false;
        if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_acquisition, acq}, Param{to_u32_list, indices},
                            Param{to_path, out_dir}, Param{to_bool, pedestals_correction}))
            return nullptr;
        if (!acq->fields) {
            PyErr_SetString(PyExc_ValueError, "Acquisition object is not initialised");
            return nullptr;
        }
        // Held until the lock is taken again; from here on only the copies are used.
        const Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(acq));
        const Acquisition root = acq->fields->acquisition;
        const auto main_thread = on_main_thread();
        if (!main_thread) return nullptr;

        std::optional<PendingError> failure;
        bool interrupted = false;
        {
            AllowThreads unlocked;
            SignalCheck check(unlocked);
            std::optional<csv::Interruption> interruption;
            if (*main_thread) interruption.emplace(std::ref(check));
            failure = run_export(root, indices, std::move(out_dir), pedestals_correction,
                                 interruption ? &*interruption : nullptr);
            interrupted = interruption && interruption->stopped();
        }
        if (interrupted) return nullptr;  // the handler's exception
        if (failure) {
            failure->raise();
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

}  // namespace

PyMethodDef export_csv_def = {"export_csv", as_method(export_csv),
                              METH_FASTCALL | METH_KEYWORDS,
                              "export_csv(acq, indices, out_dir, pedestals_correction)\n--\n\n"};

}  // namespace vuzevuz::py
