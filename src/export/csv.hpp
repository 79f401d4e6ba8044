// The CSV export: a selection of an acquisition's events as files of at most `block_size` events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "acquisition/acquisition.hpp"
#include "calibration/corrections.hpp"
#include "error/error.hpp"
#include "export/interruption.hpp"

namespace vuzevuz::csv {

// A block size of 0, which cannot cut the index list.
struct ZeroBlockSize {};

// The caller asked the export to end before it was done.
struct Interrupted {};

// Why an export stopped: an ExportError, the acquisition's name refused (its text says why),
// a block size of 0, or an interruption.
using ExportFailure = std::variant<ExportError, NameError, ZeroBlockSize, Interrupted>;

// Writes "{name} (chunk {k}).csv" in `out_dir` for every block k of `indices`. The first failure
// ends the export; the files of earlier blocks stay as written. `interruption`, when given, is
// asked before each event is read and before each is written.
std::expected<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint32_t> indices,
                                                       calibration::Corrections corrections, std::string out_dir,
                                                       std::size_t block_size, Interruption* interruption = nullptr);

// The path of block k's file.
std::string block_path(const std::string& out_dir, const std::string& name, std::size_t k);

}  // namespace vuzevuz::csv
