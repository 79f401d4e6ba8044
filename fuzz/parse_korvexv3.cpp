// Korvexv3 and pellamv2 events (one raw format) under random Params and settings.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"korvexv3", "pellamv2"}, vuzevuz::parsing::korvexv3::setting_table);
}
