// Korvexv3s events under random Params and settings, through the length table.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"korvexv3s"},
                     {"n_channel_headers", "n_event_headers", "n_footer_words", "n_window_headers", "n_window_footers", "n_last_bits", "chanmask", "chan_shift", "windmask", "datamask"});
}
