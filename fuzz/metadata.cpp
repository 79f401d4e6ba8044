// The "metadata.yml" reader on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "acquisition/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)vuzevuz::parse_metadata(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
