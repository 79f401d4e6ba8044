#include "parsing/hestrelv1.hpp"

#include <algorithm>
#include <limits>

namespace vuzevuz::parsing {

hestrelv1::ParamsCache hestrelv1::ParamsCache::from(const Params& p) {
    const Settings<setting_table> s(p);
    return {
        .channels = p.channels,
        .samples = p.samples,
        .chanmask = s.get<"chanmask">(),
        .abs_wind_mask = s.get<"abs_wind_mask">(),
        .timing_mask = s.get<"timing_mask">(),
        .timing_shift = s.get<"timing_shift">(),
        .packet_words = std::size_t(s.get<"packet_size">() / 2) + 1,
        .headers = s.get<"headers">(),
        .stop_word = s.get<"stop_word">(),
    };
}

ParseResult<Hestrelv1Event> Hestrelv1Event::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);
    const auto pc = hestrelv1::ParamsCache::from(params);
    const std::size_t w = pc.packet_words;
    const unsigned shift = pc.timing_shift % 32;

    const auto words = read_words_be(bytes);
    const std::uint16_t* const first = words.data();
    const std::uint16_t* const last = first + words.size();

    // Cut the packets at the stop words: a segment of exactly w words is one.
    std::vector<std::size_t> packets;
    for (const std::uint16_t* seg = first;;) {
        const std::uint16_t* stop = std::find(seg, last, pc.stop_word);
        if (stop == last) break;
        if (std::size_t(stop + 1 - seg) == w) packets.push_back(std::size_t(seg - first));
        seg = stop + 1;
    }
    if (packets.empty()) return fail(K::EmptyPackage);

    // The accepted packets, checked in event order. The record's `channels` lists are made only
    // once the event is known to parse.
    std::vector<std::size_t> accepted;
    if (pc.samples != 0 && pc.headers < w) {
        for (const std::size_t at : packets) {
            const std::uint16_t* packet = first + at;
            // Accepted when some of the (up to `samples`) data words is not 0.
            const std::size_t looked = std::min<std::size_t>(pc.samples, w - pc.headers);
            const std::uint16_t* data = packet + pc.headers;
            if (std::all_of(data, data + looked, [](std::uint16_t x) { return x == 0; })) continue;

            // Words 0 to 3 and every data word must lie inside the packet.
            if (w < 4 || pc.samples > w - pc.headers) return fail(K::UnexpectedLength);
            if (std::size_t(packet[0] & pc.chanmask) >= pc.channels) return fail(K::InvalidChannel);
            accepted.push_back(at);
        }
    }
    if (accepted.empty()) return fail(K::MissingData);

    Hestrelv1Event ev(pc.channels);
    for (const std::size_t at : accepted) {
        const std::uint16_t* packet = first + at;
        const std::size_t ch = packet[0] & pc.chanmask;
        ev.window_labels[ch].push_back(packet[3] & pc.abs_wind_mask);
        ev.timing[ch].push_back(std::uint32_t(packet[1] & pc.timing_mask) << shift | (packet[2] & pc.timing_mask));
    }

    // Every data list is sized once, then filled packet by packet.
    std::vector<float*> out(pc.channels);
    for (std::size_t c = 0; c < pc.channels; ++c) {
        ev.data[c].resize(ev.window_labels[c].size() * pc.samples);
        out[c] = ev.data[c].data();
    }
    for (const std::size_t at : accepted) {
        const std::uint16_t* packet = first + at;
        float*& dst = out[packet[0] & pc.chanmask];
        const std::uint16_t* s = packet + pc.headers;
        for (std::size_t i = 0; i < pc.samples; ++i) dst[i] = float(s[i]);
        dst += pc.samples;
    }

    // Time axis: each channel runs on from its first timing value, relative to the earliest.
    std::uint32_t origin = std::numeric_limits<std::uint32_t>::max();
    for (const auto& t : ev.timing)
        if (!t.empty()) origin = std::min(origin, t.front());
    const auto samples = std::uint32_t(pc.samples);
    for (std::size_t c = 0; c < pc.channels; ++c) {
        const auto& labels = ev.window_labels[c];
        if (labels.empty()) continue;
        const std::uint32_t d = ev.timing[c].front() - origin;
        const auto n = std::uint32_t(labels.size());
        const std::uint16_t start = std::uint16_t(d * samples);
        const std::uint16_t end = std::uint16_t((d + n) * samples);
        if (end <= start) continue;
        auto& time = ev.time[c];
        time.resize(std::size_t(end - start));
        std::uint16_t* dst = time.data();
        for (std::uint32_t t = start; t < end; ++t) *dst++ = std::uint16_t(t);
    }
    return ev;
}

}  // namespace vuzevuz::parsing
