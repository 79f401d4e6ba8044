// The content of one CSV file: channel list, header and the rows of every event.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error/error.hpp"
#include "export/merge.hpp"
#include "export/writer.hpp"

namespace vuzevuz::csv {

// Events of the families that carry per-window timing values get a fourth column per channel.
template <class E>
inline constexpr bool has_timing = requires(const E& e) { e.timing; };

// Most cells one event's table may have (rows times columns).
inline constexpr std::size_t kMaxEventCells = std::size_t(1) << 27;

// Writes "Bad channel {ch} at Event {n}" and a line feed straight to file descriptor 1.
void report_bad_channel(std::size_t ch, std::size_t n);

// The channels that hold a value in any event, ascending.
template <class E>
std::vector<std::size_t> channels(const std::vector<E>& events) {
    std::vector<bool> seen;
    for (const E& ev : events) {
        if (seen.size() < ev.data.size()) seen.resize(ev.data.size());
        for (std::size_t j = 0; j < ev.data.size(); ++j)
            if (!ev.data[j].empty()) seen[j] = true;
    }
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < seen.size(); ++j)
        if (seen[j]) out.push_back(j);
    return out;
}

std::expected<void, ExportError> write_header(CsvWriter& w, std::span<const std::size_t> channels, bool timing);

namespace detail {

// How a per-channel source feeds L rows: each row its own value, or one value for all.
struct Source {
    std::size_t count;  // values the source supplies
    bool fits(std::size_t rows) const { return count == rows || count == 1; }
};

inline bool times_fits(std::size_t n, std::size_t S, std::size_t rows) {
    if (n != 0 && S > std::numeric_limits<std::size_t>::max() / n) return false;
    return Source{n * S}.fits(rows);
}

}  // namespace detail

// Writes the rows of event number `n`: one per sample position of its merged window order.
template <class E>
std::expected<void, ExportError> write_event(CsvWriter& w, const Params& params, const E& ev,
                                             std::span<const std::size_t> channel_list, std::size_t n) {
    constexpr std::size_t G = has_timing<E> ? 4 : 3;
    const std::size_t S = params.samples;
    const std::vector<std::uint16_t> merged = merge_window_labels(ev.window_labels);

    std::size_t R = 0, W = 0, cells = 0;
    if (parsing::mul_overflows(merged.size(), S, R) || parsing::mul_overflows(G, channel_list.size(), W) ||
        parsing::add_overflows(W, 2, W) || parsing::mul_overflows(R, W, cells) || cells > kMaxEventCells)
        return std::unexpected(ExportError::csv(CsvError{"event table too large"}));

    std::vector<float> table(cells, std::numeric_limits<float>::quiet_NaN());
    const float evt = static_cast<float>(n);
    for (std::size_t r = 0; r < R; ++r) {
        table[r * W] = 0.0f;
        table[r * W + 1] = evt;
    }

    for (std::size_t k = 0; k < channel_list.size(); ++k) {
        const std::size_t ch = channel_list[k];
        if (ch >= ev.data.size() || ev.data[ch].empty()) continue;
        const auto& data = ev.data[ch];
        const std::size_t L = data.size();
        // A channel whose sources are missing or of the wrong length cannot be laid out.
        bool ok = ch < ev.window_labels.size() && ch < ev.time.size();
        if constexpr (has_timing<E>) ok = ok && ch < ev.timing.size();
        std::size_t r0 = 0;
        if (ok && !merged.empty()) {
            const auto& labels = ev.window_labels[ch];
            ok = !labels.empty();
            if (ok) {
                const std::size_t p = std::size_t(std::find(merged.begin(), merged.end(), labels[0]) - merged.begin());
                ok = p < merged.size();  // always so: every label is in the merged order
                r0 = p * S;
            }
        }
        ok = ok && L <= R - r0;
        if (ok) {
            ok = detail::times_fits(ev.window_labels[ch].size(), S, L) && detail::Source{ev.time[ch].size()}.fits(L);
            if constexpr (has_timing<E>) ok = ok && detail::times_fits(ev.timing[ch].size(), S, L);
        }
        if (!ok) {
            report_bad_channel(ch, n);
            continue;
        }
        const auto& labels = ev.window_labels[ch];
        const auto& time = ev.time[ch];
        const bool one_label = labels.size() * S == 1, one_time = time.size() == 1;
        [[maybe_unused]] bool one_timing = false;
        if constexpr (has_timing<E>) one_timing = ev.timing[ch].size() * S == 1;
        float* cell = table.data() + r0 * W + 2 + G * k;
        for (std::size_t j = 0, win = 0, s = 0; j < L; ++j, cell += W) {
            cell[0] = static_cast<float>(labels[one_label ? 0 : win]);
            cell[1] = data[j];
            cell[2] = static_cast<float>(time[one_time ? 0 : j]);
            if constexpr (has_timing<E>) cell[3] = static_cast<float>(ev.timing[ch][one_timing ? 0 : win]);
            if (++s == S) {
                s = 0;
                ++win;
            }
        }
    }

    const float* cell = table.data();
    for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t c = 0; c < W; ++c) w.field(*cell++);
        if (auto res = w.end_record(); !res) return std::unexpected(ExportError::csv(std::move(res.error())));
    }
    return {};
}

// Writes a block's events as one CSV file: header, then every event's rows; closes the file.
template <class E>
struct ExportCsv {
    static std::expected<void, ExportError> export_csv(const std::vector<E>& events, CsvWriter writer,
                                                       const Params& params) {
        const std::vector<std::size_t> list = channels(events);
        if (auto r = write_header(writer, list, has_timing<E>); !r) return r;
        for (std::size_t n = 0; n < events.size(); ++n)
            if (auto r = write_event(writer, params, events[n], list, n); !r) return r;
        if (auto r = writer.finish(); !r) return std::unexpected(ExportError::csv(std::move(r.error())));
        return {};
    }
};

}  // namespace vuzevuz::csv
