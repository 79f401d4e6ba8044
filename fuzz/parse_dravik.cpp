// Dravik events under random Params and settings.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"dravik"},
                     {"n_window_headers", "n_event_headers", "n_footer_words"});
}
