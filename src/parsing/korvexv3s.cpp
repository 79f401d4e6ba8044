#include "parsing/korvexv3s.hpp"

#include <algorithm>

namespace vuzevuz::parsing {

korvexv3s::ParamsCache korvexv3s::ParamsCache::from(const Params& p) {
    const Settings<setting_table> s(p);
    return {
        .channels = p.channels,
        .windows = p.windows,
        .samples = p.samples,
        .n_channel_headers = s.get<"n_channel_headers">(),
        .n_event_headers = s.get<"n_event_headers">(),
        .n_footer_words = s.get<"n_footer_words">(),
        .n_window_headers = s.get<"n_window_headers">(),
        .n_window_footers = s.get<"n_window_footers">(),
        .n_last_bits = s.get<"n_last_bits">(),
        .chanmask = s.get<"chanmask">(),
        .chan_shift = s.get<"chan_shift">(),
        .windmask = s.get<"windmask">(),
        .datamask = s.get<"datamask">(),
    };
}

std::optional<std::size_t> korvexv3s::channels_for_length(std::size_t len, std::size_t block, const ParamsCache& pc) {
    if (pc.windows < 2 || pc.channels == 0) return std::nullopt;
    const std::size_t half = len / 2;
    const std::size_t outer = std::size_t(pc.n_event_headers) + pc.n_footer_words;
    if (half < outer) return std::nullopt;
    const std::size_t rest = half - outer;  // = i * (j * block + n_window_footers)
    const std::size_t max_windows = pc.windows - 1;
    const std::size_t footers = pc.n_window_footers;

    // The first window of j channels fits: 2 * n_event_headers + 2 * W <= len.
    auto fits = [&](std::size_t j) {
        std::size_t w;
        if (mul_overflows(j, block, w) || add_overflows(w, pc.n_window_headers, w)) return false;
        return w <= half && pc.n_event_headers <= half - w;
    };

    if (block == 0) {
        // Every channel count gives the same lengths, and the same fit.
        std::size_t per_count;
        if (footers == 0)
            per_count = rest == 0 ? max_windows : 0;
        else
            per_count = rest % footers == 0 && rest / footers >= 1 && rest / footers <= max_windows ? 1 : 0;
        if (per_count == 0) return std::nullopt;
        if (pc.channels == 1 && per_count == 1) return pc.channels;
        if (half < pc.n_event_headers) return std::nullopt;
        return fits(pc.channels) ? std::optional(pc.channels) : std::nullopt;
    }

    // block > 0: a window of j channels grows with j, so each j has at most one window count.
    if (rest < footers || (rest - footers) / block == 0) return std::nullopt;
    std::size_t count = 0, first = 0, chosen = 0;
    for (std::size_t j = std::min(pc.channels, (rest - footers) / block); j >= 1; --j) {
        const std::size_t per_window = j * block + footers;  // <= rest
        if (rest / per_window > max_windows) break;       // fewer channels need even more windows
        if (rest % per_window != 0) continue;
        if (++count == 1) first = j;
        if (chosen == 0 && fits(j)) chosen = j;
        if (count >= 2 && chosen != 0) break;
    }
    if (count == 0) return std::nullopt;
    if (count == 1) return first;
    if (half < pc.n_event_headers || chosen == 0) return std::nullopt;
    return chosen;
}

ParseResult<Korvexv3SEvent> Korvexv3SEvent::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.empty()) return fail(K::MissingData);
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);
    const auto pc = korvexv3s::ParamsCache::from(params);

    // A block beyond the machine word makes every length of the format exceed it.
    std::size_t block;
    if (add_overflows(pc.n_channel_headers, pc.samples, block)) return fail(K::UnexpectedLength);
    const auto found = korvexv3s::channels_for_length(bytes.size(), block, pc);
    if (!found) return fail(K::UnexpectedLength);
    const std::size_t J = *found;

    const std::size_t n = bytes.size() / 2;
    const std::size_t outer = std::size_t(pc.n_event_headers) + pc.n_footer_words;
    if (outer > n) return fail(K::UnexpectedLength);
    const std::size_t payload_words = n - outer;
    const std::uint8_t* payload = bytes.data() + 2 * std::size_t(pc.n_event_headers);

    const unsigned chan_shift = pc.chan_shift & 15u;
    const unsigned last_bits = pc.n_last_bits & 15u;
    auto channel_of = [&](std::uint16_t word) { return std::size_t((word & pc.chanmask) >> chan_shift); };

    // The first window's block headers are checked even without a whole window;
    // they must lie inside the payload. Blocks of no word all start at payload word 0.
    if ((J - 1) * block >= payload_words) return fail(K::UnexpectedLength);
    for (std::size_t k = 0; k < (block == 0 ? 1 : J); ++k)
        if (channel_of(be16(payload + 2 * k * block)) >= J) return fail(K::InvalidChannel);

    // Window words W; one beyond the machine word leaves no whole window.
    std::size_t window;
    const bool huge = add_overflows(J * block, pc.n_window_headers, window);
    if (!huge && window == 0) return fail(K::UnexpectedLength);
    const std::size_t windows = huge ? 0 : payload_words / window;
    if (block == 0 && windows > 0) return fail(K::UnexpectedLength);

    Korvexv3SEvent ev(J);
    if (windows == 0) return with_time_axis(std::move(ev), params);

    const std::size_t blocks_per_window = window / block;
    const std::size_t values = block - 1;
    const std::size_t share = (windows * blocks_per_window + J - 1) / J;
    for (std::size_t c = 0; c < J; ++c) {
        ev.data[c].reserve(share * values);
        ev.window_labels[c].reserve(share);
    }
    ev.window_last_words.reserve(windows);

    for (std::size_t wi = 0; wi < windows; ++wi) {
        const std::uint8_t* wp = payload + 2 * wi * window;
        for (std::size_t b = 0; b < blocks_per_window; ++b) {
            const std::uint8_t* bp = wp + 2 * b * block;
            const std::uint16_t head = be16(bp);
            const std::size_t c = channel_of(head);
            if (c >= J) return fail(K::InvalidChannel);
            auto& data = ev.data[c];
            const std::size_t old = data.size();
            data.resize(old + values);
            float* out = data.data() + old;
            const std::uint8_t* s = bp + 2;
            for (std::size_t i = 0; i < values; ++i) out[i] = float((be16(s + 2 * i) & pc.datamask) >> last_bits);
            ev.window_labels[c].push_back(std::uint16_t((head & pc.windmask) >> last_bits));
        }
        ev.window_last_words.push_back(be16(wp + 2 * (window - 1)));
    }
    return with_time_axis(std::move(ev), params);
}

}  // namespace vuzevuz::parsing
