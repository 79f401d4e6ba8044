// Ysk16 events under random Params and settings.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"ysk16"}, vuzevuz::parsing::ysk16::setting_table);
}
