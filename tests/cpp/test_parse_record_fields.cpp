// Record fields that no Python view shows: the korvexv3/pellamv2 and tolvanev3 header fields and
// the sirel96 chip numbers. Exit status 0 when every check holds.
#include <cstdio>
#include <vector>

#include "parsing/korvexv3.hpp"
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

Params params(const char* model, std::size_t channels, std::size_t windows, std::size_t samples) {
    Params p;
    p.model = model;
    p.channels = channels;
    p.windows = windows;
    p.samples = samples;
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

}  // namespace

int main() {
    korvexv3_headers<Korvexv3Event>("korvexv3");
    korvexv3_headers<Pellamv2Event>("pellamv2");
    tolvanev3_headers();
    sirel96_chip_ids();
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
