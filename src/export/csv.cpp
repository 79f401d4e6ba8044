#include "export/csv.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "acquisition/chunk.hpp"
#include "export/rows.hpp"
#include "parsing/models.hpp"

namespace vuzevuz::csv {

std::string block_path(const std::string& out_dir, const std::string& name, std::size_t k) {
    std::string path = out_dir;
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    path += " (chunk ";
    path += std::to_string(k);
    path += ").csv";
    return path;
}

namespace {

// The events of a block's indices that can be fetched and parsed, in order; others are passed over.
template <class E>
class FetchParse {
public:
    FetchParse(const Acquisition& acq, const Params& params, std::span<const std::uint32_t> indices,
               Interruption* interruption)
        : acq_(&acq), params_(&params), indices_(indices), interruption_(interruption) {}

    std::optional<E> next() {
        while (pos_ < indices_.size()) {
            if (interrupted(interruption_)) return std::nullopt;
            auto raw = acq_->get(indices_[pos_++]);
            if (!raw) continue;
            auto ev = E::parse_into(*raw, *params_);
            if (!ev) continue;
            return std::move(*ev);
        }
        return std::nullopt;
    }

private:
    const Acquisition* acq_;
    const Params* params_;
    std::span<const std::uint32_t> indices_;
    Interruption* interruption_;
    std::size_t pos_ = 0;
};

// An interruption leaves the block's file as written so far: empty while its events are read,
// then the header and the rows of the events written before it.
template <class E>
std::expected<void, ExportFailure> export_chunk(const Acquisition& acq, const Params& params,
                                                calibration::Corrections corrections,
                                                std::span<const std::uint32_t> block, const std::string& path,
                                                Interruption* interruption) {
    FileHandle file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (file.fd() < 0) return std::unexpected(ExportError::from_errno(errno));
    make_blocking(file);  // opened without waiting for a pipe's reader; written like any file
    CsvWriter writer(std::move(file), interruption);

    calibration::Corrected<FetchParse<E>, E> events(std::move(corrections),
                                                    FetchParse<E>(acq, params, block, interruption));
    std::vector<E> list;
    while (auto item = events.next())
        if (*item) list.push_back(std::move(**item));
    if (was_interrupted(interruption)) return std::unexpected(Interrupted{});
    auto written = ExportCsv<E>::export_csv(list, std::move(writer), params, interruption);
    // A write broken off by an interruption fails too: the interruption is what is told.
    if (was_interrupted(interruption)) return std::unexpected(Interrupted{});
    if (!written) return std::unexpected(std::move(written.error()));
    return {};
}

}  // namespace

std::expected<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint32_t> indices,
                                                       calibration::Corrections corrections, std::string out_dir,
                                                       std::size_t block_size, Interruption* interruption) {
    using Fail = std::unexpected<ExportFailure>;
    auto meta = acq.metadata();
    if (!meta) return Fail(ExportError::accessing_acquisition(std::move(meta.error())));
    const Params params = std::move(meta->params);
    if (block_size == 0) return Fail(ZeroBlockSize{});
    if (indices.empty()) return {};

    // The name is asked for at the first block, before any file exists; it is the same for all.
    auto name = acq.name();
    if (!name) return Fail(std::move(name.error()));

    auto done = parsing::with_event_type(params.model, [&]<class E>(std::type_identity<E>) -> std::expected<void, ExportFailure> {
        for (std::size_t k = 0, start = 0; start < indices.size(); ++k, start += block_size) {
            const auto block = indices.subspan(start, std::min(block_size, indices.size() - start));
            if (auto r = export_chunk<E>(acq, params, corrections, block, block_path(out_dir, *name, k), interruption);
                !r)
                return r;
        }
        return {};
    });
    if (!done) return Fail(ExportError::parsing(done.error()));
    if (!*done) return Fail(std::move(done->error()));
    return {};
}

}  // namespace vuzevuz::csv
