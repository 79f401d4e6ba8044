#include "parsing/sirel96.hpp"

#include <array>

namespace vuzevuz::parsing {

std::optional<sirel96::ParamsCache> sirel96::ParamsCache::from(const Params& p) {
    const Settings<setting_table> s(p);
    const std::uint32_t num_chips = s.get<"num_chips">();
    if (num_chips == 0) return std::nullopt;
    ParamsCache pc{};
    pc.n_event_footers = s.get<"n_event_footers">();
    pc.n_chip_headers = s.get<"n_chip_headers">();
    pc.n_chip_footers = s.get<"n_chip_footers">();
    pc.n_window_headers = s.get<"n_window_headers">();
    pc.n_window_footers = s.get<"n_window_footers">();
    pc.data_mask = s.get<"data_mask">();
    pc.chanmask = s.get<"chanmask">();
    pc.chan_shift = s.get<"chan_shift">();
    pc.windmask = s.get<"windmask">();
    pc.chans_per_chip = p.channels / num_chips;
    pc.windows = p.windows;
    pc.samples = p.samples;
    std::size_t payload;
    if (mul_overflows(pc.windows, pc.samples, pc.per_block) ||
        add_overflows(pc.per_block, pc.n_window_headers + pc.n_window_footers, pc.block_len) ||
        mul_overflows(pc.chans_per_chip, pc.block_len, payload) || mul_overflows(payload, 2, payload) ||
        add_overflows(payload, pc.n_chip_headers + pc.n_chip_footers, pc.chip_len))
        return std::nullopt;
    return pc;
}

ParseResult<Sirel96Event> Sirel96Event::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.empty()) return fail(K::MissingData);
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);
    const auto cache = sirel96::ParamsCache::from(params);
    if (!cache) return fail(K::UnexpectedLength);
    const sirel96::ParamsCache& pc = *cache;
    // A zero chip size, or an event shorter than its footer, has no chip layout.
    if (pc.chip_len == 0 || bytes.size() < pc.n_event_footers) return fail(K::UnexpectedLength);
    const std::size_t area = bytes.size() - pc.n_event_footers;
    if (area % pc.chip_len != 0) return fail(K::UnexpectedLength);
    const std::size_t chips = area / pc.chip_len;
    if (chips != 0 && pc.block_len == 0) return fail(K::UnexpectedLength);

    const unsigned shift = pc.chan_shift % 16;
    const std::size_t block_bytes = 2 * pc.block_len;
    // Board-wide channel of a channel block, or nothing when it is not below 96.
    auto channel_of = [&](std::size_t base, const std::uint8_t* blk) -> std::optional<std::size_t> {
        const std::size_t in_chip = std::size_t(le16(blk) & pc.chanmask) >> shift;
        if (base >= board_channels || in_chip >= board_channels - base) return std::nullopt;
        return base + in_chip;
    };
    auto chip_base = [&](const std::uint8_t* chip) {
        std::size_t base;
        return mul_overflows(chip[0] & 0x3F, pc.chans_per_chip, base) ? board_channels : base;
    };

    const std::uint16_t w = static_cast<std::uint16_t>(pc.windows);
    // Whether a block whose header is at blk gets its windows' labels.
    auto labelled = [&](const std::uint8_t* blk) {
        return w != 0 && std::uint32_t(le16(blk) & pc.windmask) + w <= 0xFFFF;
    };

    // First look at the block headers only: validates every channel and counts the blocks
    // per channel, and those of them that get labels, so that each list is allocated once at
    // its final size.
    std::array<std::size_t, board_channels> blocks{}, labelled_blocks{};
    for (std::size_t i = 0; i < chips; ++i) {
        const std::uint8_t* chip = bytes.data() + i * pc.chip_len;
        const std::size_t base = chip_base(chip);
        const std::uint8_t* blk = chip + pc.n_chip_headers;
        for (std::size_t b = 0; b < pc.chans_per_chip; ++b, blk += block_bytes) {
            const auto c = channel_of(base, blk);
            if (!c) return fail(K::InvalidChannel);
            ++blocks[*c];
            labelled_blocks[*c] += labelled(blk);
        }
    }
    // The time axis covers Params.channels lists, and there are only 96.
    if (params.channels > board_channels) return fail(K::MissingData);

    Sirel96Event ev;
    ev.chip_ids.reserve(chips);
    for (std::size_t c = 0; c < board_channels; ++c) {
        ev.data[c].reserve(blocks[c] * pc.per_block);
        ev.window_labels[c].reserve(labelled_blocks[c] * w);
    }

    for (std::size_t i = 0; i < chips; ++i) {
        const std::uint8_t* chip = bytes.data() + i * pc.chip_len;
        ev.chip_ids.push_back(chip[0] & 0x3F);
        const std::size_t base = chip_base(chip);
        const std::uint8_t* blk = chip + pc.n_chip_headers;
        for (std::size_t b = 0; b < pc.chans_per_chip; ++b, blk += block_bytes) {
            const std::size_t c = *channel_of(base, blk);

            auto& data = ev.data[c];
            const std::size_t at = data.size();
            data.resize(at + pc.per_block);
            float* out = data.data() + at;
            const std::uint8_t* s = blk + 2 * pc.n_window_headers;
            for (std::size_t k = 0; k < pc.per_block; ++k, s += 2)
                out[k] = float(std::uint16_t(~le16(s)) & pc.data_mask);

            if (labelled(blk)) {
                auto& labels = ev.window_labels[c];
                std::uint16_t label = std::uint16_t((le16(blk) & pc.windmask) % w);
                for (std::uint16_t k = 0; k < w; ++k) {
                    labels.push_back(label);
                    if (++label == w) label = 0;
                }
            }
        }
    }
    return with_time_axis(std::move(ev), params);
}

}  // namespace vuzevuz::parsing
