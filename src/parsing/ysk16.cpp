#include "parsing/ysk16.hpp"

namespace vuzevuz::parsing {

ysk16::ParamsCache ysk16::ParamsCache::from(const Params& p) {
    const Settings<setting_table> s(p);
    return {
        .channels = p.channels,
        .windows = p.windows,
        .samples = p.samples,
        .n_chip_headers = s.get<"n_chip_headers">(),
        .n_chip_footers = s.get<"n_chip_footers">(),
        .n_window_headers = s.get<"n_window_headers">(),
        .n_window_footers = s.get<"n_window_footers">(),
        .data_mask = s.get<"data_mask">(),
        .chanmask = s.get<"chanmask">(),
        .chan_shift = s.get<"chan_shift">(),
        .windmask = s.get<"windmask">(),
    };
}

ParseResult<Ysk16Event> Ysk16Event::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.empty()) return fail(K::MissingData);
    const auto pc = ysk16::ParamsCache::from(params);

    // Block size and expected length; settings that overflow them fit no event.
    std::size_t per_block, block, expected;
    if (mul_overflows(pc.windows, pc.samples, per_block) ||
        add_overflows(per_block, std::size_t(pc.n_window_headers) + pc.n_window_footers, block) ||
        mul_overflows(pc.channels, block, expected) || mul_overflows(expected, 2, expected) ||
        add_overflows(expected, std::size_t(pc.n_chip_headers) + pc.n_chip_footers, expected))
        return fail(K::UnexpectedLength);
    if (bytes.size() != expected) return fail(K::UnexpectedLength);
    // No block size: nothing in the event can be cut into channel blocks.
    if (block == 0) return fail(K::UnexpectedLength);

    Ysk16Event ev(pc.channels);
    const auto words = read_words_le(bytes.subspan(pc.n_chip_headers));
    const unsigned shift = pc.chan_shift % 16;
    const std::uint16_t w = static_cast<std::uint16_t>(pc.windows);
    for (std::size_t at = 0; words.size() - at >= block; at += block) {
        const std::uint16_t header = words[at];
        const std::size_t c = std::size_t(header & pc.chanmask) >> shift;
        if (c >= pc.channels) return fail(K::InvalidChannel);

        auto& data = ev.data[c];
        const std::uint16_t* s = words.data() + at + pc.n_window_headers;
        reserve_more(data, per_block);  // blocks may name a channel again, in any order
        for (std::size_t i = 0; i < per_block; ++i) data.push_back(float(std::uint16_t(~s[i]) & pc.data_mask));

        const std::uint16_t start = header & pc.windmask;
        if (w != 0 && std::uint32_t(start) + w <= 0xFFFF) {
            auto& labels = ev.window_labels[c];
            for (std::uint16_t k = 0; k < w; ++k) labels.push_back(std::uint16_t((start + k) % w));
        }
    }
    return with_time_axis(std::move(ev), params);
}

}  // namespace vuzevuz::parsing
