// Sirel96 events under random Params and settings.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"sirel96"}, vuzevuz::parsing::sirel96::setting_table);
}
