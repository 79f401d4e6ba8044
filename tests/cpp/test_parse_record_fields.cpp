// Record fields that no Python view shows: the korvexv3/pellamv2 and tolvanev3 header fields,
// the sirel96 chip numbers and the korvexv3s last word of every window. Exit status 0 when every
// check holds.
#include <cstdio>
#include <vector>

#include "parsing/korvexv3.hpp"
#include "parsing/korvexv3s.hpp"
#include "parsing/pellamv2.hpp"
#include "parsing/sirel96.hpp"
#include "parsing/tolvanev3.hpp"

using namespace vuzevuz;
using namespace vuzevuz::parsing;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

Params params(const char* model, std::size_t channels, std::size_t windows, std::size_t samples,
              std::vector<std::pair<const char*, std::uint64_t>> settings = {}) {
    Params p{model, channels, windows, samples, {}};
    for (auto [k, v] : settings) p.rest.entries.push_back({YamlValue{std::string(k)}, YamlValue{v}});
    return p;
}

template <class E>
void korvexv3_headers(const char* model) {
    // 3 header words, one window of channel 0 with 2 samples, one trailing word
    const Params p = params(model, 1, 4, 2);
    std::vector<std::uint8_t> ev = {0x01, 0x02, 0xFF, 0, 0, 0, 0, 2, 0, 4, 0, 6, 0, 0};
    auto r = E::parse_into(ev, p);
    check(r && r->header_value == 65568 && r->header_byte == 255, "header bytes 01 02 FF");
    ev[2] = 0x03;
    r = E::parse_into(ev, p);
    check(r && r->header_value == 65571 && r->header_byte == 3, "header bytes 01 02 03");
    check(r && r->data == PerChannel<float>{{2.0f, 3.0f}}, "window data");
    ev = {0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0};
    r = E::parse_into(ev, p);
    check(r && r->header_value == 0xFF * 65536 + 0xFF * 16 + 0xFE && r->header_byte == 0xFE, "high header bytes");
    check(!E::parse_into(std::vector<std::uint8_t>{1, 2}, p), "two bytes fail");
}

void tolvanev3_headers() {
    const Params p = params("tolvanev3", 1, 3, 2);
    const std::vector<std::uint8_t> ev = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 2, 0, 4, 0, 6, 0, 0, 0xFF, 0xFF};
    auto r = Tolvanev3Event::parse_into(ev, p);
    check(r && r->header_value == 0 && r->header_byte == 0, "tolvanev3 header fields stay 0");
    check(r && r->window_labels == PerChannel<std::uint16_t>{{1}}, "tolvanev3 window label");
}

void sirel96_chip_ids() {
    // 12 channels on 6 chips, 1 window of 1 sample: chip blocks of 1 + 2 * 2 * 3 + 3 = 16 bytes
    const Params p = params("sirel96", 12, 1, 1);
    std::vector<std::uint8_t> ev;
    for (std::uint8_t chip : {0x42, 0x02, 0xC0}) {
        ev.push_back(chip);
        ev.insert(ev.end(), 12, 0);
        ev.insert(ev.end(), 3, 0);
    }
    ev.insert(ev.end(), 2, 0);
    auto r = Sirel96Event::parse_into(ev, p);
    check(r && r->chip_ids == std::vector<std::uint8_t>{2, 2, 0}, "chip ids in block order, duplicates kept");
    check(r && r->ecc_errors.size() == 96 && r->ecc_errors[0].empty(), "96 empty ecc lists");
    r = Sirel96Event::parse_into(std::vector<std::uint8_t>{0, 0}, p);
    check(r && r->chip_ids.empty() && r->data.size() == 96, "footer only: no chip ids");
}

std::vector<std::uint8_t> be(const std::vector<std::uint16_t>& words) {
    std::vector<std::uint8_t> out;
    for (auto w : words) {
        out.push_back(std::uint8_t(w >> 8));
        out.push_back(std::uint8_t(w));
    }
    return out;
}

void korvexv3s_last_words() {
    // Two channels, samples 2 (block 3), three windows; datamask would cut the high bits of the last words.
    {
        const auto bytes = be({0xAAAA, 0xBBBB, 0xCCCC,
                               0x0000, 1, 2, 0x0100, 3, 0xF123,
                               0x0101, 4, 5, 0x0001, 6, 0xE456,
                               0x0102, 7, 8, 0x0002, 9, 0xFFFF,
                               0xDDDD});
        auto ev = Korvexv3SEvent::parse_into(bytes, params("korvexv3s", 2, 8, 2));
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
        auto ev = Korvexv3SEvent::parse_into(bytes, params("korvexv3s", 2, 4, 2, {{"n_window_headers", 2}, {"n_window_footers", 2}}));
        check(ev.has_value(), "one window with two header words parses");
        if (ev) check(ev->window_last_words == std::vector<std::uint16_t>{0x8888}, "last header word kept");
    }
    // A payload without a whole window keeps no word.
    {
        const auto bytes = be({0, 0, 0, 0x0000, 1, 2, 0});
        auto ev = Korvexv3SEvent::parse_into(bytes, params("korvexv3s", 1, 3, 2, {{"n_window_headers", 50}}));
        check(ev.has_value(), "single candidate without a whole window parses");
        if (ev) check(ev->window_last_words.empty() && ev->data[0].empty(), "nothing kept");
    }
}

}  // namespace

int main() {
    korvexv3s_last_words();
    korvexv3_headers<Korvexv3Event>("korvexv3");
    korvexv3_headers<Pellamv2Event>("pellamv2");
    tolvanev3_headers();
    sirel96_chip_ids();
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
