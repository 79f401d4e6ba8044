// The korvexv3s record's last word of every window; no Python road shows it.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "parsing/korvexv3s.hpp"

using namespace vuzevuz;
using namespace vuzevuz::parsing;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++failures;
    }
}

Params params(std::size_t channels, std::size_t windows, std::size_t samples,
              std::vector<std::pair<const char*, std::uint64_t>> settings = {}) {
    Params p{"korvexv3s", channels, windows, samples, {}};
    for (auto [k, v] : settings) p.rest.entries.push_back({YamlValue{std::string(k)}, YamlValue{v}});
    return p;
}

std::vector<std::uint8_t> be(const std::vector<std::uint16_t>& words) {
    std::vector<std::uint8_t> out;
    for (auto w : words) {
        out.push_back(std::uint8_t(w >> 8));
        out.push_back(std::uint8_t(w));
    }
    return out;
}

}  // namespace

int main() {
    // Two channels, samples 2 (block 3), three windows; datamask would cut the high bits of the last words.
    {
        const auto bytes = be({0xAAAA, 0xBBBB, 0xCCCC,
                               0x0000, 1, 2, 0x0100, 3, 0xF123,
                               0x0101, 4, 5, 0x0001, 6, 0xE456,
                               0x0102, 7, 8, 0x0002, 9, 0xFFFF,
                               0xDDDD});
        auto ev = Korvexv3SEvent::parse_into(bytes, params(2, 8, 2));
        check(ev.has_value(), "three windows parse");
        if (ev) {
            check(ev->window_last_words == std::vector<std::uint16_t>{0xF123, 0xE456, 0xFFFF}, "raw last word per window");
            check(ev->data[1] == std::vector<float>{3, 0x1123, 4, 5, 7, 8}, "samples still masked");
        }
    }
    // Window headers: the window's last word is the last of its header words, not of a block.
    {
        const auto bytes = be({0, 0, 0,
                               0x0000, 1, 2, 0x0100, 3, 4, 0x7777, 0x8888,
                               0});
        auto ev = Korvexv3SEvent::parse_into(bytes, params(2, 4, 2, {{"n_window_headers", 2}, {"n_window_footers", 2}}));
        check(ev.has_value(), "one window with two header words parses");
        if (ev) check(ev->window_last_words == std::vector<std::uint16_t>{0x8888}, "last header word kept");
    }
    // A payload without a whole window keeps no word.
    {
        const auto bytes = be({0, 0, 0, 0x0000, 1, 2, 0});
        auto ev = Korvexv3SEvent::parse_into(bytes, params(1, 3, 2, {{"n_window_headers", 50}}));
        check(ev.has_value(), "single candidate without a whole window parses");
        if (ev) check(ev->window_last_words.empty() && ev->data[0].empty(), "nothing kept");
    }
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
