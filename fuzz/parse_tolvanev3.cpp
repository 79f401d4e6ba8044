// Tolvanev3 events under random Params and settings, through the length table.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"tolvanev3"},
                     {"n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask", "n_event_headers", "n_window_headers", "n_footer_words", "n_last_bits"});
}
