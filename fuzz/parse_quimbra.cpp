// Quimbra events of both models under random Params and settings.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"quimbra_pellam", "quimbra_korvex"}, vuzevuz::parsing::quimbra::setting_table);
}
