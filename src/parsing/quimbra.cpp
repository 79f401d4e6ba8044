#include "parsing/quimbra.hpp"

#include <algorithm>
#include <optional>

namespace vuzevuz::parsing {

quimbra::ParamsCache quimbra::ParamsCache::from(const Params& p) {
    const Settings<setting_table> s(p);
    return {
        .channels = p.channels,
        .samples = p.samples,
        .num_chips = s.get<"num_chips">(),
        .databitmask = s.get<"databitmask">(),
        .chanmask = s.get<"chanmask">(),
        .chan_shift = std::uint16_t(s.get<"chan_shift">() & 0xF),
        .windmask = s.get<"windmask">(),
        .chip_stop_word = s.get<"chip_stop_word">(),
        .n_chip_headers = s.get<"n_chip_headers">(),
        .n_window_headers = s.get<"n_window_headers">(),
    };
}

ParseResult<QuimbraEvent> QuimbraEvent::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.empty()) return fail(K::MissingData);
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);
    const auto pc = quimbra::ParamsCache::from(params);

    // No chip count to share the channels, or no window size: nothing can be cut.
    std::size_t window;
    if (pc.num_chips == 0 || add_overflows(pc.n_window_headers, pc.samples, window) || window == 0)
        return fail(K::UnexpectedLength);
    const std::size_t chans_per_chip = pc.channels / pc.num_chips;
    const std::size_t nch = pc.n_chip_headers;

    const auto words = read_words_be(bytes);
    const std::uint16_t* area = words.data();
    const std::size_t area_len = words.size() - 1;  // the last word is never read

    // The channel of a window header, or nothing when it lies outside the board.
    auto channel_of = [&](std::size_t base, std::uint16_t header) -> std::optional<std::size_t> {
        std::size_t c;
        if (add_overflows(base, std::size_t(header & pc.chanmask) >> pc.chan_shift, c) || c >= pc.channels)
            return std::nullopt;
        return c;
    };

    // First pass: cut the chips and check every length and channel in reading order. The
    // record's `channels` lists are made only once the event is known to parse.
    struct Piece {
        std::size_t start, end, base;
    };
    std::vector<Piece> pieces;
    for (std::size_t start = 0;;) {
        const std::uint16_t* stop = std::find(area + start, area + area_len, pc.chip_stop_word);
        const std::size_t end = std::size_t(stop - area);
        const std::size_t u = end - start;
        // An empty piece has no chip number to read, whatever the header count.
        if (u == 0 || u < nch || (u - nch) % window != 0) return fail(K::UnexpectedLength);
        if (u > nch) {
            std::size_t base;
            if (mul_overflows(std::size_t(area[start] >> 12), chans_per_chip, base)) return fail(K::InvalidChannel);
            for (std::size_t at = start + nch; at < end; at += window)
                if (!channel_of(base, area[at])) return fail(K::InvalidChannel);
            pieces.push_back({start, end, base});
        }
        if (end == area_len) break;
        start = end + 1;
    }

    // The labels tell how much data each channel gets: every data list is sized once, then
    // filled window by window.
    QuimbraEvent ev(pc.channels);
    for (const auto& piece : pieces)
        for (std::size_t at = piece.start + nch; at < piece.end; at += window)
            ev.window_labels[*channel_of(piece.base, area[at])].push_back(area[at] & pc.windmask);
    std::vector<float*> out(pc.channels);
    for (std::size_t c = 0; c < pc.channels; ++c) {
        ev.data[c].resize(ev.window_labels[c].size() * pc.samples);
        out[c] = ev.data[c].data();
    }
    const std::uint16_t mask = pc.databitmask;
    for (const auto& piece : pieces) {
        for (std::size_t at = piece.start + nch; at < piece.end; at += window) {
            float*& dst = out[*channel_of(piece.base, area[at])];
            const std::uint16_t* s = area + at + pc.n_window_headers;
            for (std::size_t i = 0; i < pc.samples; ++i) dst[i] = float(s[i] & mask);
            dst += pc.samples;
        }
    }

    return with_time_axis(std::move(ev), params);
}

}  // namespace vuzevuz::parsing
