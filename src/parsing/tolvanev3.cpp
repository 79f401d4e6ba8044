#include "parsing/tolvanev3.hpp"

#include <algorithm>

namespace vuzevuz::parsing {

tolvanev3::ParamsCache tolvanev3::ParamsCache::from(const Params& p) {
    const Settings<setting_table> s(p);
    ParamsCache pc{};
    pc.channels = p.channels;
    pc.windows = p.windows;
    pc.samples = p.samples;
    pc.n_event_headers = s.get<"n_event_headers">();
    pc.n_window_headers = s.get<"n_window_headers">();
    pc.n_footer_words = s.get<"n_footer_words">();
    pc.n_last_bits = s.get<"n_last_bits">();
    pc.block_overflows = add_overflows(s.get<"n_channel_headers">(), pc.samples, pc.block);
    pc.chanmask = s.get<"chanmask">();
    pc.chan_shift = s.get<"chan_shift">();
    pc.windmask = s.get<"windmask">();
    pc.datamask = s.get<"datamask">();
    return pc;
}

std::optional<std::pair<std::size_t, std::size_t>> tolvanev3::get_chan_winds(std::size_t len, const ParamsCache& pc) {
    // Lengths of the form (j * block + 1) * 2 * i + 8, computed without wrapping: a pair
    // whose length exceeds a machine word stands for no event.
    if (pc.windows < 2 || pc.channels == 0 || pc.block_overflows) return std::nullopt;
    if (len < 8 || len % 2 != 0) return std::nullopt;
    const std::size_t m = (len - 8) / 2;  // (j * block + 1) * i
    if (m == 0) return std::nullopt;
    if (pc.block == 0) {
        // Every channel count gives the length 2 * i + 8 and the same first window of
        // n_window_headers words, so the most channels are read or none.
        if (m >= pc.windows) return std::nullopt;
        if (pc.channels == 1) return std::pair{std::size_t(1), m};
        const std::size_t need = 2 * (std::size_t(pc.n_window_headers) + pc.n_event_headers);
        if (need <= len) return std::pair{pc.channels, m};
        return std::nullopt;
    }
    std::size_t j = std::min(pc.channels, (m - 1) / pc.block);  // j * block + 1 <= m

    // Most channels first: the first pair whose first window fits is the choice; a length
    // of one pair only takes it without that test.
    std::optional<std::pair<std::size_t, std::size_t>> first;
    std::size_t found = 0;
    for (; j >= 1; --j) {
        const std::size_t d = j * pc.block + 1;
        if (m % d != 0) continue;
        const std::size_t i = m / d;
        if (i >= pc.windows) continue;
        if (found++ == 0) first.emplace(j, i);
        std::size_t w, need;
        if (!add_overflows(j * pc.block, pc.n_window_headers, w) && !mul_overflows(w, 2, need) &&
            !add_overflows(need, 2 * std::size_t(pc.n_event_headers), need) && need <= len)
            return std::pair{j, i};
    }
    return found == 1 ? first : std::nullopt;
}

ParseResult<Tolvanev3Event> Tolvanev3Event::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.empty()) return fail(K::MissingData);
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);
    const auto pc = tolvanev3::ParamsCache::from(params);
    const auto pair = tolvanev3::get_chan_winds(bytes.size(), pc);
    if (!pair) return fail(K::UnexpectedLength);
    const std::size_t chans = pair->first;

    // The payload runs from word n_event_headers to word n - n_footer_words: it needs a
    // footer word and must not start after its end.
    const std::size_t n = bytes.size() / 2;
    if (pc.n_footer_words == 0 || std::size_t(pc.n_event_headers) + pc.n_footer_words > n + 1)
        return fail(K::UnexpectedLength);
    const std::size_t payload = n + 1 - pc.n_footer_words - pc.n_event_headers;
    const std::size_t block = pc.block;
    // j * block + 1 <= m < n, so these products stay below the event length.
    const std::size_t window = chans * block + pc.n_window_headers;
    // The first window's block headers must lie in the payload. Blocks of no word are read
    // only while the payload holds no whole window: then every header is payload word 0.
    if ((chans - 1) * block >= payload || (block == 0 && payload >= window)) return fail(K::UnexpectedLength);

    const std::uint8_t* base = bytes.data() + 2 * std::size_t(pc.n_event_headers);
    const unsigned chan_shift = pc.chan_shift % 16;
    const unsigned n_last_bits = pc.n_last_bits % 16;
    auto channel_at = [&](const std::uint8_t* p) { return std::size_t(be16(p) & pc.chanmask) >> chan_shift; };

    for (std::size_t k = 0; k < (block == 0 ? 1 : chans); ++k)
        if (channel_at(base + 2 * k * block) >= pc.channels) return fail(K::InvalidChannel);
    if (block == 0) return Tolvanev3Event(pc.channels);  // no whole window: nothing more is read

    const std::size_t windows = payload / window;
    const std::size_t per_window = window / block;  // the window's whole blocks
    const std::size_t window_bytes = 2 * window, block_bytes = 2 * block;

    // Block headers first: every channel checked and the blocks of each counted, so that
    // each list is allocated once at its final size.
    // A channel number is a 16-bit field: no more counters than it can name.
    std::vector<std::size_t> blocks(std::min<std::size_t>(pc.channels, 0x10000));
    for (std::size_t i = 0; i < windows; ++i) {
        const std::uint8_t* p = base + i * window_bytes;
        for (std::size_t b = 0; b < per_window; ++b, p += block_bytes) {
            const std::size_t c = channel_at(p);
            if (c >= pc.channels) return fail(K::InvalidChannel);
            ++blocks[c];
        }
    }

    Tolvanev3Event ev(pc.channels);
    const std::size_t values = block - 1;
    for (std::size_t c = 0; c < blocks.size(); ++c) {
        if (blocks[c] == 0) continue;
        ev.data[c].reserve(blocks[c] * values);
        ev.window_labels[c].reserve(blocks[c]);
    }
    for (std::size_t i = 0; i < windows; ++i) {
        const std::uint8_t* p = base + i * window_bytes;
        for (std::size_t b = 0; b < per_window; ++b, p += block_bytes) {
            const std::uint16_t head = be16(p);
            const std::size_t c = std::size_t(head & pc.chanmask) >> chan_shift;
            ev.window_labels[c].push_back(std::uint16_t((head & pc.windmask) >> n_last_bits));
            auto& data = ev.data[c];
            const std::size_t at = data.size();
            data.resize(at + values);
            float* out = data.data() + at;
            const std::uint8_t* s = p + 2;
            for (std::size_t k = 0; k < values; ++k, s += 2) out[k] = float((be16(s) & pc.datamask) >> n_last_bits);
        }
    }
    return with_time_axis(std::move(ev), params);
}

}  // namespace vuzevuz::parsing
