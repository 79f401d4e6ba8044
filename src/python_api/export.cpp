// export_csv(acq, indices, out_dir, pedestals_correction): the CSV export, run without the
// interpreter lock.
#include "python_api/functions.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <string>
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

// The whole export; touches no Python object, so it runs without the lock. Failures come back
// as the exception to raise once the lock is held again.
std::optional<PendingError> run_export(const Acquisition& acq, const std::vector<std::uint32_t>& indices,
                                       std::string out_dir, bool pedestals_correction) noexcept {
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

        auto done = csv::export_csv_from_acq(acq, indices, std::move(corrections), std::move(out_dir), kBlockSize);
        if (done) return std::nullopt;
        return std::visit(
            []<class E>(const E& e) -> PendingError {
                if constexpr (std::is_same_v<E, csv::ZeroBlockSize>)
                    return {PendingError::Class::ValueError, "block size must be at least 1"};
                else
                    return pending(e);
            },
            done.error());
    } catch (const std::bad_alloc&) {
        return PendingError{PendingError::Class::MemoryError, "out of memory during the export"};
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

        std::optional<PendingError> failure;
        {
            AllowThreads unlocked;
            failure = run_export(root, indices, std::move(out_dir), pedestals_correction);
        }
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
