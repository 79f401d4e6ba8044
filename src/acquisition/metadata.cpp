#include "acquisition/metadata.hpp"

namespace vuzevuz {

std::expected<Metadata, MetadataError> parse_metadata(std::string_view) {
    return std::unexpected(MetadataError::serialization_failed("not implemented"));
}

}  // namespace vuzevuz
