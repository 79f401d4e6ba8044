#include "parsing/dravikv1.hpp"

namespace vuzevuz::parsing {

namespace {

// Bytes of the event's tail that the walk never reads.
constexpr std::size_t kTailBytes = 4;

}  // namespace

dravikv1::ParamsCache dravikv1::ParamsCache::from(const Params& p) {
    const Settings<setting_table> s(p);
    return {
        .channels = p.channels,
        .windows = p.windows,
        .samples = p.samples,
        .n_window_headers = s.get<"n_window_headers">(),
        .n_event_headers = s.get<"n_event_headers">(),
        .n_footer_words = s.get<"n_footer_words">(),
    };
}

ParseResult<Dravikv1Event> Dravikv1Event::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    const auto pc = dravikv1::ParamsCache::from(params);
    const std::size_t len = bytes.size();

    // Sub-block words S and group bytes GB; sizes beyond the machine word exceed every event.
    std::size_t sub, group;
    if (add_overflows(pc.n_window_headers, pc.samples, sub) || mul_overflows(sub, 4, group) ||
        add_overflows(group, std::size_t(pc.n_event_headers) + 1 + pc.n_footer_words, group) ||
        mul_overflows(group, 2, group))
        return fail(K::UnexpectedLength);
    if (len % 2 != 0 || len < group) return fail(K::UnexpectedLength);

    const std::size_t walked = len > kTailBytes ? len - kTailBytes : 0;
    const std::size_t region_start = 2 * std::size_t(pc.n_event_headers);
    const std::size_t sub_bytes = 2 * sub;

    // Walks the groups and their sub-blocks in order, checking each; take(c, sub-block) for
    // every sub-block that passes.
    auto walk = [&](auto&& take) -> std::expected<void, ParsingError> {
        if (walked == 0) return {};
        // Without room for the header words there is no sub-block region.
        if (group < kTailBytes + region_start) return fail(K::UnexpectedLength);
        const std::size_t region_end = group - kTailBytes;
        for (std::size_t g = 0; g < walked; g += group) {
            const std::uint8_t* gp = bytes.data() + g;
            if (walked - g < region_end) return fail(K::UnexpectedLength);
            const std::size_t base = 4 * std::size_t(be16(gp));
            for (std::size_t at = region_start; at < region_end; at += sub_bytes) {
                if (region_end - at < sub_bytes) return fail(K::UnexpectedLength);
                // A sub-block must hold its label and channel offset (and have a size at all).
                if (sub < 2) return fail(K::UnexpectedLength);
                const std::uint8_t* sp = gp + at;
                const std::size_t c = base + be16(sp + 2);
                if (c >= pc.channels) return fail(K::InvalidChannel);
                if (sub - 2 < pc.samples) return fail(K::UnexpectedLength);
                take(c, sp);
            }
        }
        return {};
    };
    // Checked first: the record's `channels` lists are made only once the event is known to parse.
    if (auto r = walk([](std::size_t, const std::uint8_t*) {}); !r) return std::unexpected(r.error());

    Dravikv1Event ev(pc.channels);
    // Each touched channel is reserved once for an even share of the event's sub-blocks.
    std::size_t share = 0;
    if (walked > 0 && sub >= 2 && pc.channels > 0) {
        const std::size_t groups = (walked + group - 1) / group;
        const std::size_t total = groups * ((group - kTailBytes - region_start) / sub_bytes);
        share = (total + pc.channels - 1) / pc.channels;
    }
    (void)walk([&](std::size_t c, const std::uint8_t* sp) {
        auto& data = ev.data[c];
        auto& labels = ev.window_labels[c];
        if (data.capacity() == 0) {
            data.reserve(share * pc.samples);
            labels.reserve(share);
        }
        const std::size_t old = data.size();
        data.resize(old + pc.samples);
        float* out = data.data() + old;
        const std::uint8_t* s = sp + 4;
        for (std::size_t i = 0; i < pc.samples; ++i) out[i] = float(be16(s + 2 * i));
        labels.push_back(be16(sp));
    });
    return with_time_axis(std::move(ev), params);
}

}  // namespace vuzevuz::parsing
