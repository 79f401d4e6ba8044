// export_csv(acq, indices, out_dir, pedestals_correction): the CSV export, run without the
// interpreter lock but for the moments in which it lets the signal handlers run.
#include "python_api/functions.hpp"

#include <cxxabi.h>
#include <unistd.h>

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

// Whether this is the process's first thread, where the interpreter runs its signal handlers: the
// thread it started on, and in a child of fork() the thread that forked, which the interpreter
// takes for its main thread there too. Asked of the kernel, so that nothing of the interpreter's
// is imported or called to know it.
bool on_first_thread() { return ::gettid() == ::getpid(); }

// Asked by the export between events: now and then it takes the lock back and runs the signal
// handlers; a handler that raises ends the export, its exception left set for the caller.
class SignalCheck {
public:
    explicit SignalCheck(PyThreadState*& saved) : saved_(&saved) {}

    bool operator()(bool now) {
        const auto t = std::chrono::steady_clock::now();
        if (!now && t < next_) return false;
        next_ = t + kSignalCheckInterval;
        PyEval_RestoreThread(*saved_);
        const bool raised = PyErr_CheckSignals() != 0;
        *saved_ = PyEval_SaveThread();
        return raised;
    }

private:
    PyThreadState** saved_;
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + kSignalCheckInterval;
};

// What the export works on while the lock is let go: copies of the arguments, and `acq`, which
// holds a reference of its own until the lock is held again.
struct Job {
    Acquisition root;
    std::vector<std::uint32_t> indices;
    std::string out_dir;
    bool pedestals_correction;
    PyObject* acq;
};

// The export's files; touches no Python object. A failure comes back as the exception to raise
// once the lock is held again; none comes back for an interruption, whose exception is set.
std::optional<PendingError> export_files(const Job& job, csv::Interruption* interruption) {
    Params params;
    {
        auto meta = job.root.metadata();
        if (!meta) return pending(meta.error());
        params = std::move(meta->params);
    }

    std::optional<calibration::Pedestals> table;
    if (job.pedestals_correction) {
        // An absent, unreadable or undecodable blob means an export without correction.
        if (auto blob = job.root.misc_data(MiscDataKind::PedestalsCalibration)) {
            if (auto p = calibration::Pedestals::from_bytes(blob->bytes)) table = std::move(*p);
        }
    }
    auto corrections = calibration::Corrections(params).with_pedestals(std::move(table));

    auto done = csv::export_csv_from_acq(job.root, job.indices, std::move(corrections), job.out_dir, kBlockSize,
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
}

struct Outcome {
    std::optional<PendingError> failure;
    bool interrupted = false;  // a signal handler's exception is set
};

// The export, with the lock let go by the thread state `saved`; with `interruptible`, the signal
// handlers run now and then. Every C++ exception becomes the failure, but for the unwinding with
// which the interpreter may end the thread where it takes the lock back (a daemon thread while
// the interpreter exits): that one passes on.
Outcome run_export(const Job& job, PyThreadState*& saved, bool interruptible) {
    Outcome outcome;
    try {
        SignalCheck check(saved);
        std::optional<csv::Interruption> interruption;
        if (interruptible) interruption.emplace(std::ref(check));
        outcome.failure = export_files(job, interruption ? &*interruption : nullptr);
        outcome.interrupted = interruption && interruption->stopped();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        outcome.failure = PendingError{PendingError::Class::MemoryError, "out of memory during the export"};
    } catch (const std::system_error& e) {
        outcome.failure = pending(e);
    } catch (const std::exception& e) {
        outcome.failure = PendingError{PendingError::Class::RuntimeError, e.what()};
    } catch (...) {
        outcome.failure = PendingError{PendingError::Class::RuntimeError, "internal error"};
    }
    return outcome;
}

// Converts the arguments and copies what the export needs; nothing, with the exception set, on failure.
std::optional<Job> prepare(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature<4> sig{"export_csv", {"acq", "indices", "out_dir", "pedestals_correction"}};
    PyAcquisitionObject* acq = nullptr;
    std::vector<std::uint32_t> indices;
    std::string out_dir;
    bool pedestals_correction = false;
    if (!parse_fastcall(sig, args, nargs, kwnames, Param{to_acquisition, acq}, Param{to_u32_list, indices},
                        Param{to_path, out_dir}, Param{to_bool, pedestals_correction}))
        return std::nullopt;
    if (!acq->fields) {
        set_error(PyExc_ValueError, "Acquisition object is not initialised");
        return std::nullopt;
    }
    return Job{acq->fields->acquisition, std::move(indices), std::move(out_dir), pedestals_correction,
               reinterpret_cast<PyObject*>(acq)};
}

// Not guarded as a whole, and the lock is taken back by hand rather than by a destructor: where
// the interpreter ends the thread as it takes the lock back, the unwinding must pass through this
// frame, which holds no Python reference meanwhile.
PyObject* export_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<Job> job = guarded(std::optional<Job>{}, [&] { return prepare(args, nargs, kwnames); });
    if (!job) {
        ensure_error();
        return nullptr;
    }
    Py_INCREF(job->acq);
    PyThreadState* saved = PyEval_SaveThread();
    const Outcome outcome = run_export(*job, saved, on_first_thread());
    PyEval_RestoreThread(saved);
    Py_DECREF(job->acq);
    return guarded([&]() -> PyObject* {
        if (outcome.interrupted) return nullptr;  // the handler's exception
        if (outcome.failure) {
            outcome.failure->raise();
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
