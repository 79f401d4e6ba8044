// Sirel96 events under random Params and settings.
#include "params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run({data, size}, {"sirel96"},
                     {"num_chips", "n_chip_headers", "n_chip_footers", "n_window_headers", "n_window_footers", "data_mask", "chanmask", "chan_shift", "windmask", "n_event_footers"});
}
