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
#include "export/interruption.hpp"
#include "export/merge.hpp"
#include "export/writer.hpp"

namespace vuzevuz::csv {

// Events of the families that carry per-window timing values get a fourth column per channel.
template <class E>
inline constexpr bool has_timing = requires(const E& e) { e.timing; };

// Writes "Bad channel {ch} at Event {n}" and a line feed straight to file descriptor 1. Where a
// signal breaks off the write (a pipe waiting for its reader), `interruption`, when given, is
// asked whether to give the line up.
void report_bad_channel(std::size_t ch, std::size_t n, Interruption* interruption = nullptr);

// Whether a table of `rows` x `columns` 32-bit floats would fit in the machine's memory.
bool table_fits_in_memory(std::size_t rows, std::size_t columns);

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
// Each listed channel fills its columns on consecutive rows from the row of its first label.
// The rows are made one at a time from those placements, so an event costs no more memory than
// one row; an event whose table of cells could not be held in memory at all is refused.
template <class E>
std::expected<void, ExportError> write_event(CsvWriter& w, const Params& params, const E& ev,
                                             std::span<const std::size_t> channel_list, std::size_t n) {
    constexpr std::size_t G = has_timing<E> ? 4 : 3;
    const std::size_t S = params.samples;
    const std::vector<std::uint16_t> merged = merge_window_labels(ev.window_labels);
    std::size_t R = 0, W = 0;
    if (parsing::mul_overflows(merged.size(), S, R) || parsing::mul_overflows(G, channel_list.size(), W) ||
        parsing::add_overflows(W, 2, W) || !table_fits_in_memory(R, W))
        return std::unexpected(ExportError::csv(CsvError{"event table too large"}));

    // Where each listed channel's samples go, and where its sources stand while the rows pass.
    struct Placed {
        std::size_t r0 = 0, L = 0;  // rows r0 to r0 + L - 1; L = 0: no cells
        const std::vector<float>* data = nullptr;
        const std::vector<std::uint16_t>* labels = nullptr;
        const std::vector<std::uint16_t>* time = nullptr;
        const std::vector<std::uint32_t>* timing = nullptr;
        bool one_label = false, one_time = false, one_timing = false;
        std::size_t j = 0, win = 0, s = 0;  // the next value, its window and sample
    };
    std::vector<Placed> placed(channel_list.size());
    for (std::size_t k = 0; k < channel_list.size(); ++k) {
        const std::size_t ch = channel_list[k];
        if (ch >= ev.data.size() || ev.data[ch].empty()) continue;
        const std::size_t L = ev.data[ch].size();
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
        ok = ok && r0 <= R && L <= R - r0;
        if (ok) {
            ok = detail::times_fits(ev.window_labels[ch].size(), S, L) && detail::Source{ev.time[ch].size()}.fits(L);
            if constexpr (has_timing<E>) ok = ok && detail::times_fits(ev.timing[ch].size(), S, L);
        }
        if (!ok) {
            report_bad_channel(ch, n, w.interruption());
            continue;
        }
        Placed& c = placed[k];
        c.r0 = r0;
        c.L = L;
        c.data = &ev.data[ch];
        c.labels = &ev.window_labels[ch];
        c.time = &ev.time[ch];
        c.one_label = c.labels->size() * S == 1;
        c.one_time = c.time->size() == 1;
        if constexpr (has_timing<E>) {
            c.timing = &ev.timing[ch];
            c.one_timing = c.timing->size() * S == 1;
        }
    }

    const float evt = static_cast<float>(n);
    for (std::size_t r = 0; r < R; ++r) {
        w.field(0.0f);
        w.field(evt);
        for (Placed& c : placed) {
            if (r < c.r0 || c.j == c.L) {
                for (std::size_t g = 0; g < G; ++g) w.empty_field();
                continue;
            }
            w.field(static_cast<float>((*c.labels)[c.one_label ? 0 : c.win]));
            w.field((*c.data)[c.j]);
            w.field(static_cast<float>((*c.time)[c.one_time ? 0 : c.j]));
            if constexpr (has_timing<E>) w.field(static_cast<float>((*c.timing)[c.one_timing ? 0 : c.win]));
            ++c.j;
            if (++c.s == S) {
                c.s = 0;
                ++c.win;
            }
        }
        if (auto res = w.end_record(); !res) return std::unexpected(ExportError::csv(std::move(res.error())));
    }
    return {};
}

// Writes a block's events as one CSV file: header, then every event's rows; closes the file.
template <class E>
struct ExportCsv {
    // An interruption ends it after the events written so far, with no failure: the caller tells
    // by `interruption`.
    static std::expected<void, ExportError> export_csv(const std::vector<E>& events, CsvWriter writer,
                                                       const Params& params, Interruption* interruption = nullptr) {
        const std::vector<std::size_t> list = channels(events);
        if (auto r = write_header(writer, list, has_timing<E>); !r) return r;
        for (std::size_t n = 0; n < events.size(); ++n) {
            if (interrupted(interruption)) return {};
            if (auto r = write_event(writer, params, events[n], list, n); !r) return r;
        }
        if (auto r = writer.finish(); !r) return std::unexpected(ExportError::csv(std::move(r.error())));
        return {};
    }
};

}  // namespace vuzevuz::csv
