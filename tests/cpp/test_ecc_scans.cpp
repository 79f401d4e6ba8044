// Every vector scan of a channel range the processor supports against a word-by-word model;
// from Python only the fastest one is reachable.
#include <cstdio>
#include <random>
#include <vector>

#include "ecc/sirel96.hpp"

using namespace vuzevuz::ecc;
using detail::Scan;

namespace {

int failures = 0;

constexpr int SYNDROME_BITS[4][7] = {
    {0, 1, 3, 4, 6, 8, 10}, {0, 2, 3, 5, 6, 9, 11}, {1, 2, 3, 7, 8, 9, 12}, {4, 5, 6, 7, 8, 9, 13}};
constexpr int TO_BIT[16] = {0, 10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15};

std::size_t start_of(std::size_t r) { return 131140 * (r / 16) + 1 + 8196 * (r % 16) + 2; }

std::vector<EccRecord> model(const std::vector<std::uint8_t>& raw, std::size_t r) {
    std::vector<EccRecord> out;
    const std::size_t s = start_of(r);
    for (std::size_t j = 0; j < 4096; ++j) {
        const unsigned w = raw[s + 2 * j] | raw[s + 2 * j + 1] << 8;
        unsigned v = 0, p = 0;
        for (int i = 0; i < 4; ++i) {
            unsigned x = 0;
            for (int b : SYNDROME_BITS[i]) x ^= w >> b & 1;
            v |= x << i;
        }
        for (int b = 0; b < 16; ++b) p ^= w >> b & 1;
        if (v == 0 && p == 0) continue;
        const auto bit = static_cast<std::uint8_t>(TO_BIT[v]);
        const auto corrected = static_cast<std::uint16_t>(p && v ? w ^ (1u << bit) : w);
        out.push_back({2 * j, s + 2 * j, static_cast<std::uint16_t>(w), corrected, bit, static_cast<std::uint8_t>(p)});
    }
    return out;
}

void compare(const char* layout, const std::vector<std::uint8_t>& raw) {
    for (Scan scan : {Scan::Portable, Scan::NibbleTables, Scan::BitMatrix}) {
        if (!detail::scan_supported(scan)) continue;
        for (std::size_t r = 0; r < 96; ++r) {
            if (detail::check_channel_range(scan, raw, r) != model(raw, r)) {
                std::printf("FAIL: scan %d, %s, range %zu\n", static_cast<int>(scan), layout, r);
                ++failures;
                break;
            }
        }
    }
}

void put(std::vector<std::uint8_t>& raw, std::size_t r, std::size_t j, unsigned w) {
    raw[start_of(r) + 2 * j] = static_cast<std::uint8_t>(w);
    raw[start_of(r) + 2 * j + 1] = static_cast<std::uint8_t>(w >> 8);
}

}  // namespace

int main() {
    const std::size_t length = 6 * 131140 + 2;
    for (Scan scan : {Scan::Portable, Scan::NibbleTables, Scan::BitMatrix})
        std::printf("scan %d: %s\n", static_cast<int>(scan), detail::scan_supported(scan) ? "run" : "not supported");

    // Each word alone in its 64-word group, at a varying place: no neighbour hides a miss.
    for (unsigned first = 0; first < 65536; first += 96 * 64) {
        std::vector<std::uint8_t> raw(length);
        for (unsigned g = 0; g < 96 * 64 && first + g < 65536; ++g) {
            const unsigned w = first + g;
            put(raw, g / 64, 64 * (g % 64) + (w * 37) % 64, w);
        }
        compare("one word per group", raw);
    }

    // Every word, six times over.
    std::vector<std::uint8_t> all(length);
    for (std::size_t r = 0; r < 96; ++r)
        for (std::size_t j = 0; j < 4096; ++j) put(all, r, j, static_cast<unsigned>((r * 4096 + j) % 65536));
    compare("all words", all);

    // Random words at several densities, noise around the ranges.
    std::mt19937 rng(5);
    for (unsigned density : {1u, 8u, 64u, 1024u}) {
        std::vector<std::uint8_t> raw(length);
        for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
        for (std::size_t r = 0; r < 96; ++r)
            for (std::size_t j = 0; j < 4096; ++j) put(raw, r, j, rng() % 1024 < density ? rng() & 0xFFFF : 0);
        compare("random words", raw);
    }

    if (failures) std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
