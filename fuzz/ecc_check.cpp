// The sirel96 check of whole raw events: lengths around every chip-block boundary, words from
// the input. Every supported scan must find the same words, each finding must name the word it
// read, and a corrected copy must check again without a correctable word.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ecc/sirel96.hpp"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "ecc check failed: %s\n", what);
    __builtin_trap();
}

std::uint16_t le16(const std::vector<std::uint8_t>& raw, std::size_t at) {
    return std::uint16_t(raw[at] | raw[at + 1] << 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vuzevuz::ecc;
    if (size < 4) return 0;
    // Length: a number of chip blocks (0..7) and an offset from that boundary (-64..+191).
    const std::size_t blocks = data[0] % 8;
    const long shift = long(data[1]) - 64;
    const long base = long(blocks * CHIP_BLOCK_BYTES + TRAILING_BYTES);
    const std::size_t length = std::size_t(std::max(0L, base + shift));
    // The rest of the input, repeated, fills the event; data[2] spaces the copies out with zeros
    // so that most words stay sound.
    std::vector<std::uint8_t> raw(length, 0);
    const std::uint8_t* fill = data + 3;
    const std::size_t fill_len = size - 3;
    const std::size_t stride = fill_len + std::size_t(data[2]) * 97;
    if (fill_len > 0)
        for (std::size_t at = 0; at < length; at += stride)
            std::copy_n(fill, std::min(fill_len, length - at), raw.begin() + long(at));

    const auto found = _ecc_check(raw);
    if (!found) return 0;
    for (const EccRecord& r : *found) {
        if (r.event_offset + 1 >= raw.size()) broken("finding beyond the event");
        if (le16(raw, r.event_offset) != r.word) broken("finding names another word");
    }
    // The same findings from every scan, in the first range and one the input picks.
    for (const std::size_t c : {std::size_t(0), std::size_t(data[2]) % CHANNEL_RANGES}) {
        const auto portable = detail::check_channel_range(detail::Scan::Portable, raw, c);
        for (const auto s : {detail::Scan::NibbleTables, detail::Scan::BitMatrix})
            if (detail::scan_supported(s) && detail::check_channel_range(s, raw, c) != portable)
                broken("scans disagree");
    }
    std::vector<std::uint8_t> copy = raw;
    write_corrections(copy, *found);
    const auto again = _ecc_check(copy);
    if (!again) broken("a corrected event no longer checks");
    for (const EccRecord& r : *again)
        if (r.parity == 1 && r.corrected != r.word) broken("a corrected word is still correctable");
    return 0;
}
