// "metadata.yml": the Metadata and Params records and their typed reading.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "acquisition/yaml.hpp"
#include "error/error.hpp"

namespace vuzevuz {

struct Params {
    std::string model;
    std::size_t channels = 0;
    std::size_t windows = 0;
    std::size_t samples = 0;
    YamlMapping rest;  // every other key of "params", keyed by its text, in document order
};

struct Metadata {
    Params params;
    YamlMapping registers;
};

// Reads the text of "metadata.yml"; every refusal is SerializationFailed.
std::expected<Metadata, MetadataError> parse_metadata(std::string_view text);

}  // namespace vuzevuz
