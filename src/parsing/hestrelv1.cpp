#include "parsing/hestrelv1.hpp"

#include <algorithm>
#include <limits>

namespace vuzevuz::parsing {

std::optional<std::uint32_t> hestrelv1::parse_hex32(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (const char ch : text) {
        unsigned digit;
        if (ch >= '0' && ch <= '9') digit = unsigned(ch - '0');
        else if (ch >= 'a' && ch <= 'f') digit = unsigned(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') digit = unsigned(ch - 'A' + 10);
        else return std::nullopt;
        if (value > (std::numeric_limits<std::uint32_t>::max() >> 4)) return std::nullopt;
        value = value << 4 | digit;
    }
    return value;
}

namespace {

std::size_t read_packet_words(const Params& p) {
    const YamlValue* v = p.rest.find("packet_size");
    const auto size = v ? v->as_unsigned() : std::nullopt;
    return size ? std::size_t(std::uint32_t(*size) / 2) + 1 : 37;
}

std::uint16_t read_stop_word(const Params& p) {
    const YamlValue* v = p.rest.find("stop_word");
    const std::string* text = v ? v->as_text() : nullptr;
    const auto value = text ? hestrelv1::parse_hex32(*text) : std::nullopt;
    return value ? std::uint16_t(*value) : 0xFA5A;
}

}  // namespace

hestrelv1::ParamsCache::ParamsCache(const Params& p)
    : channels(p.channels),
      samples(p.samples),
      chanmask(setting16(p, "chanmask", 0x3F)),
      abs_wind_mask(setting16(p, "abs_wind_mask", 0x3F)),
      timing_mask(setting16(p, "timing_mask", 0xFFF)),
      timing_shift(setting32(p, "timing_shift", 12)),
      packet_words(read_packet_words(p)),
      headers(setting32(p, "headers", 4)),
      stop_word(read_stop_word(p)) {}

ParseResult<Hestrelv1Event> Hestrelv1Event::parse_into(Bytes bytes, const Params& params) {
    using K = ParsingError::Kind;
    if (bytes.size() % 2 != 0) return fail(K::UnexpectedLength);
    const hestrelv1::ParamsCache pc(params);
    const std::size_t w = pc.packet_words;
    const unsigned shift = pc.timing_shift % 32;

    const auto words = read_words_be(bytes);
    const std::uint16_t* const first = words.data();
    const std::uint16_t* const last = first + words.size();

    Hestrelv1Event ev(pc.channels);

    // First pass: cut the packets at the stop words and take in order the header
    // words of every accepted one; its start is kept for copying the data after.
    std::vector<std::size_t> accepted;
    bool any_packet = false;
    for (const std::uint16_t* seg = first;;) {
        const std::uint16_t* stop = std::find(seg, last, pc.stop_word);
        if (stop == last) break;
        const std::uint16_t* packet = seg;
        seg = stop + 1;
        if (std::size_t(seg - packet) != w) continue;
        any_packet = true;
        if (pc.samples == 0 || pc.headers >= w) continue;

        // Accepted when some of the (up to `samples`) data words is not 0.
        const std::size_t looked = std::min<std::size_t>(pc.samples, w - pc.headers);
        const std::uint16_t* data = packet + pc.headers;
        if (std::all_of(data, data + looked, [](std::uint16_t x) { return x == 0; })) continue;

        // Words 0 to 3 and every data word must lie inside the packet.
        if (w < 4 || pc.samples > w - pc.headers) return fail(K::UnexpectedLength);
        const std::size_t ch = packet[0] & pc.chanmask;
        if (ch >= pc.channels) return fail(K::InvalidChannel);
        ev.window_labels[ch].push_back(packet[3] & pc.abs_wind_mask);
        ev.timing[ch].push_back(std::uint32_t(packet[1] & pc.timing_mask) << shift | (packet[2] & pc.timing_mask));
        accepted.push_back(std::size_t(packet - first));
    }
    if (!any_packet) return fail(K::EmptyPackage);
    if (accepted.empty()) return fail(K::MissingData);

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
