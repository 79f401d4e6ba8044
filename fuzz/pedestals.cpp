// The pedestal blob reader: gzip data, or the pickle itself (first input byte odd), and the
// correction of a small event with any table read. For a pickle, the table must be the one that a
// run keeping the numbers of every sequence sees: the reader's guesses about which values a table
// skips may cost a second run, never a different result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "calibration/pedestals.hpp"
#include "calibration/pickle.hpp"

namespace {

using namespace vuzevuz::calibration;
using Table = std::vector<std::vector<std::vector<float>>>;

// The table of a run that keeps every number, by the rules of a pedestal blob; none if refused.
std::optional<Table> keeping_every_number(std::span<const std::uint8_t> bytes) {
    // Every object takes at least one opcode byte, so no serial exceeds the input's size.
    std::vector<std::uint64_t> all(bytes.size() + 1);
    std::iota(all.begin(), all.end(), 0);
    auto doc = pickle::read(bytes, &all);
    if (!doc) return std::nullopt;
    pickle::Value table;
    if (doc->root.kind == pickle::Kind::Dict) {
        const pickle::Object& d = doc->object(doc->root);
        if (d.odd_key || d.data_entries != 1) return std::nullopt;
        table = d.first;
    } else if (pickle::is_sequence(doc->root.kind) && doc->object(doc->root).size > 0) {
        table = doc->object(doc->root).first;
    } else {
        return std::nullopt;
    }
    if (!pickle::is_sequence(table.kind) || !doc->object(table).sequences) return std::nullopt;
    Table out;
    for (const std::uint32_t ch : doc->object(table).items) {
        const pickle::Object& c = doc->object(ch);
        if (!c.sequences) return std::nullopt;
        auto& windows = out.emplace_back();
        for (const std::uint32_t w : c.items) {
            const pickle::Object& window = doc->object(w);
            if (!window.numbers) return std::nullopt;
            if (window.lossy || window.nums.size() != window.size) std::abort();  // every number is kept
            windows.push_back(window.nums);
        }
    }
    return out;
}

bool same(const Table& a, const Table& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t c = 0; c < a.size(); ++c) {
        if (a[c].size() != b[c].size()) return false;
        for (std::size_t w = 0; w < a[c].size(); ++w) {
            if (a[c][w].size() != b[c][w].size()) return false;
            if (!a[c][w].empty() && std::memcmp(a[c][w].data(), b[c][w].data(), a[c][w].size() * sizeof(float)) != 0)
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    auto table = (data[0] & 1) ? Pedestals::from_pickle(rest) : Pedestals::from_bytes(rest);
    if (data[0] & 1) {
        const auto expected = keeping_every_number(rest);
        if (expected.has_value() != table.has_value() || (expected && !same(*expected, table->data))) std::abort();
    }
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
