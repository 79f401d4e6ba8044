// Counts of channels and times that no machine holds end as std::bad_alloc, never as a list
// smaller than its count or as std::length_error. Exit status 0 when every check holds.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <vector>

#include "parsing/hestrelv1.hpp"
#include "parsing/util.hpp"

using namespace vuzevuz::parsing;

namespace {

int failures = 0;

template <class F>
void check_out_of_memory(F&& f, const char* what) {
    try {
        f();
    } catch (const std::bad_alloc&) {
        return;
    } catch (...) {
    }
    std::printf("FAILED: %s\n", what);
    ++failures;
}

}  // namespace

int main() {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    check_out_of_memory([] { EventHead head(max); }, "EventHead of 2^64 - 1 channels");
    check_out_of_memory([] { Hestrelv1Event ev(std::size_t(1) << 60); }, "Hestrelv1Event of 2^60 channels");

    // labels x samples beyond a machine word: refused before anything is appended.
    PerChannel<std::uint16_t> labels{{0, 1, 2}}, time(1);
    check_out_of_memory([&] { (void)set_time_axis(time, labels, 1, 8, max / 2); }, "time axis of 3 x 2^63 values");
    if (!time[0].empty()) {
        std::printf("FAILED: the refused time axis appended values\n");
        ++failures;
    }
    // Values already there count: at + labels x samples wraps.
    time[0].assign(2, 0);
    check_out_of_memory([&] { (void)set_time_axis(time, labels, 1, 8, max / 3); }, "time axis that wraps with 2 values before");

    // A time axis that fits is appended after the values already there.
    PerChannel<std::uint16_t> small{{7}};
    const PerChannel<std::uint16_t> ring{{6, 7, 0}};
    const bool ok = set_time_axis(small, ring, 1, 8, 2).has_value();
    if (!ok || small[0] != std::vector<std::uint16_t>{7, 0, 1, 2, 3, 4, 5}) {
        std::printf("FAILED: time axis 6, 7, 0 on a ring of 8 with 2 samples\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
