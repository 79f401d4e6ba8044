// Tolvanev3 events under random Params and settings, through the length table.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"tolvanev3"}, vuzevuz::parsing::tolvanev3::setting_table);
}
