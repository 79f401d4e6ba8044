// The pedestal calibration: its blob read in process, and its subtraction from parsed events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "acquisition/metadata.hpp"
#include "parsing/util.hpp"

namespace vuzevuz::calibration {

// Why a blob could not be used; never shown to users.
struct PedestalsError {
    std::string_view what;
};

// A correction that could not be applied to an event.
struct CorrectionError {
    std::string_view what;
};

struct Pedestals {
    // data[channel][window label][sample]
    std::vector<std::vector<std::vector<float>>> data;

    // A gzip-compressed pickle of {"data": table} or of a sequence whose first element is the table.
    // The blob is decompressed as the pickle is read; memory grows with the table, not the blob.
    // Running out of memory, zlib's included, is no fault of the blob: std::bad_alloc is thrown.
    static std::expected<Pedestals, PedestalsError> from_bytes(std::span<const std::uint8_t> blob);
    // The same, from the pickle's bytes themselves.
    static std::expected<Pedestals, PedestalsError> from_pickle(std::span<const std::uint8_t> pickle);

    // Subtracts the pedestal of every sample from event.data, in place. On failure the values
    // corrected before it keep their new values.
    std::expected<void, CorrectionError> correct(parsing::EventHead& event, const Params& params) const;
};

}  // namespace vuzevuz::calibration
