// The pedestal blob reader: gzip data, or the pickle itself (first input byte odd), and the
// correction of a small event with any table read.
#include <cstddef>
#include <cstdint>
#include <span>

#include "calibration/pedestals.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vuzevuz::calibration::Pedestals;
    if (size < 1) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    auto table = (data[0] & 1) ? Pedestals::from_pickle(rest) : Pedestals::from_bytes(rest);
    if (!table) return 0;
    // Two channels of two windows; the labels come from the selector byte.
    vuzevuz::Params params;
    params.model = "ysk16";
    params.channels = 2;
    params.windows = 4;
    params.samples = 3;
    vuzevuz::parsing::EventHead ev(2);
    for (std::size_t c = 0; c < 2; ++c) {
        ev.window_labels[c] = {std::uint16_t((data[0] >> (1 + 2 * c)) & 3), std::uint16_t((data[0] >> 5) & 3)};
        ev.data[c].assign(6, 100.0f);
    }
    (void)table->correct(ev, params);
    return 0;
}
