// Hestrel events of the four models under random Params and settings.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"hestrelv1_evalr2", "hestrelv2_eval", "hestrelv2_evalr1", "hestrelv2_evalr2"},
                     vuzevuz::parsing::hestrelv1::setting_table);
}
