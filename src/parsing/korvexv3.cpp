#include "parsing/korvexv3.hpp"

#include <algorithm>

namespace vuzevuz::parsing {

namespace {

inline std::uint16_t be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }

}  // namespace

std::expected<void, ParsingError> korvexv3::parse_fields(Bytes bytes, const Params& params, Korvexv3Fields& out) {
    using K = ParsingError::Kind;
    if (bytes.empty()) return fail(K::MissingData);
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);

    const std::uint16_t databitmask = setting16(params, "databitmask", 0x1FFF);
    const std::uint16_t chanmask = setting16(params, "chanmask", 0x600);
    const unsigned chan_shift = setting16(params, "chan_shift", 9) % 16;
    const std::uint16_t windmask = setting16(params, "windmask", 0x1FE);
    const std::size_t n_event_headers = setting32(params, "n_event_headers", 3);
    const std::size_t n_window_headers = setting32(params, "n_window_headers", 1);
    const std::size_t n_footers = setting32(params, "n_footers", 2);
    const unsigned n_last_bits = setting32(params, "n_last_bits", 1) % 16;
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

    out = Korvexv3Fields(channels);
    const std::uint8_t b2 = bytes[2];
    out.header_value = std::uint32_t(bytes[0]) * 65536 + std::uint32_t(bytes[1]) * 16 + (b2 == 0xFF ? 0 : b2);
    out.header_byte = b2;
    if (list.empty()) return {};

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
    return set_time_axis(out.time, out.window_labels, params);
}

ParseResult<Korvexv3Event> Korvexv3Event::parse_into(Bytes bytes, const Params& params) {
    Korvexv3Event ev;
    if (auto r = korvexv3::parse_fields(bytes, params, ev); !r) return std::unexpected(r.error());
    return ev;
}

}  // namespace vuzevuz::parsing
