// The acquisition handle: a root path through which every read goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error/error.hpp"

namespace vuzevuz {

enum class MiscDataKind : std::uint8_t {
    ReadoutMetadata = 0,
    PedestalsCalibration = 1,
    TimingCalibration = 2,
    Adc2mvCalibration = 3,
};

const char* misc_data_file_name(MiscDataKind kind);

struct MiscData {
    std::vector<std::uint8_t> bytes;
    MiscDataKind kind;
};

class Acquisition {
public:
    // Refuses a path that is not an acquisition directory with InvalidPath.
    static std::expected<Acquisition, AcquisitionError> open(std::string root);

    // The root exactly as given (file-system bytes).
    const std::string& root() const { return root_; }
    // The root joined with one more component.
    std::string join(std::string_view name) const;

    // Last ordinary component of the root, as UTF-8 text.
    std::expected<std::string, NameError> name() const;

    std::expected<MiscData, AcquisitionError> misc_data(MiscDataKind kind) const;

    std::expected<std::string, AcquisitionError> metadata_str() const;
    std::expected<Metadata, MetadataError> metadata() const;

    // Raw bytes of event `index`, counted across the chunks.
    std::expected<std::vector<std::uint8_t>, AcquisitionError> get(std::size_t index) const;
    std::expected<std::size_t, AcquisitionError> len() const;
    std::size_t chunk_count() const;

private:
    explicit Acquisition(std::string root) : root_(std::move(root)) {}
    std::string root_;
};

bool is_valid_utf8(std::string_view s);

}  // namespace vuzevuz
