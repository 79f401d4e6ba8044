#include "parsing/korvexv3.hpp"

#include <algorithm>

namespace vuzevuz::parsing {

ParseResult<Korvexv3Fields> korvexv3::parse_fields(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.empty()) return fail(K::MissingData);
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);

    const Settings<korvexv3::setting_table> s(params);
    const std::uint16_t databitmask = s.get<"databitmask">();
    const std::uint16_t chanmask = s.get<"chanmask">();
    const unsigned chan_shift = s.get<"chan_shift">() % 16;
    const std::uint16_t windmask = s.get<"windmask">();
    const std::size_t n_event_headers = s.get<"n_event_headers">();
    const std::size_t n_window_headers = s.get<"n_window_headers">();
    const std::size_t n_footers = s.get<"n_footers">();
    const unsigned n_last_bits = s.get<"n_last_bits">() % 16;
    const std::size_t channels = params.channels;
    const std::size_t samples = params.samples;

    // The pre-check and the payload length are 32-bit and wrap, as the format counts them; an
    // event of exactly the event header words with one footer passes with an empty payload.
    const std::size_t n = bytes.size() / 2;
    const std::uint32_t divisor = std::uint32_t(samples + 1);
    if (divisor == 0 || (std::uint32_t(n) - std::uint32_t(n_event_headers) - 1u) % divisor != 0)
        return fail(K::UnexpectedLength);
    if (bytes.size() < 3) return fail(K::UnexpectedLength);
    // Refused as no event of the format: no footer (the payload would run past the end), a
    // payload that ends before it starts, and windows of no word or beyond a machine word.
    std::size_t window;
    if (n_footers == 0 || n + 1 < n_footers + n_event_headers || add_overflows(samples, n_window_headers, window) ||
        window == 0)
        return fail(K::UnexpectedLength);
    const std::uint32_t payload = std::uint32_t(n + 1 - n_footers - n_event_headers);
    if (payload % window != 0) return fail(K::UnexpectedLength);
    const std::size_t windows = payload / window;

    const std::uint8_t* base = bytes.data() + 2 * n_event_headers;
    const std::size_t window_bytes = 2 * window;

    // The sorted distinct channels of the first windows; windows are dealt to them in turn.
    std::vector<std::uint16_t> list(std::min(channels, windows));
    for (std::size_t j = 0; j < list.size(); ++j)
        list[j] = std::uint16_t((be16(base + j * window_bytes) & chanmask) >> chan_shift);
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    if (!list.empty() && list.back() >= channels) return fail(K::InvalidChannel);

    Korvexv3Fields out(channels);
    const std::uint8_t b2 = bytes[2];
    out.header_value = std::uint32_t(bytes[0]) * 65536 + std::uint32_t(bytes[1]) * 16 + (b2 == 0xFF ? 0 : b2);
    out.header_byte = b2;
    if (list.empty()) return out;

    const std::size_t turn = list.size();
    const std::size_t values = window - 1;
    for (std::size_t k = 0; k < turn; ++k) {
        const std::size_t count = (windows - k + turn - 1) / turn;
        out.data[list[k]].resize(count * values);
        out.window_labels[list[k]].reserve(count);
    }
    std::vector<float*> at(turn);
    for (std::size_t k = 0; k < turn; ++k) at[k] = out.data[list[k]].data();

    const std::uint8_t* win = base;
    for (std::size_t j = 0, k = 0; j < windows; ++j, win += window_bytes) {
        out.window_labels[list[k]].push_back(std::uint16_t((be16(win) & windmask) >> n_last_bits));
        float* dst = at[k];
        const std::uint8_t* s = win + 2;
        for (std::size_t i = 0; i < values; ++i, s += 2) dst[i] = float((be16(s) & databitmask) >> n_last_bits);
        at[k] = dst + values;
        if (++k == turn) k = 0;
    }
    return with_time_axis(std::move(out), params);
}

ParseResult<Korvexv3Event> Korvexv3Event::parse_into(Bytes bytes, const Params& params) {
    return korvexv3::parse_as<Korvexv3Event>(bytes, params);
}

}  // namespace vuzevuz::parsing
