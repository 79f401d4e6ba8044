#include "parsing/util.hpp"

namespace vuzevuz::parsing {

std::vector<std::uint16_t> read_words_be(Bytes bytes) {
    std::vector<std::uint16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = be16(bytes.data() + 2 * i);
    return out;
}

std::vector<std::uint16_t> read_words_le(Bytes bytes) {
    std::vector<std::uint16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = le16(bytes.data() + 2 * i);
    return out;
}

std::expected<void, ParsingError> set_time_axis(PerChannel<std::uint16_t>& time,
                                                const PerChannel<std::uint16_t>& window_labels,
                                                std::size_t channels, std::size_t windows, std::size_t samples) {
    for (std::size_t c = 0; c < channels; ++c) {
        if (c >= window_labels.size()) return fail(ParsingError::Kind::MissingData);
        const auto& labels = window_labels[c];
        if (labels.empty()) continue;
        if (c >= time.size()) return fail(ParsingError::Kind::MissingData);
        auto& out = time[c];
        const std::size_t at = out.size();
        out.resize(at + labels.size() * samples);
        std::uint16_t* p = out.data() + at;
        const std::size_t first = labels[0];
        for (const std::size_t w : labels) {
            // Unsigned arithmetic: a label far below the origin wraps like d mod 65536.
            const std::size_t d = w >= first ? w - first : w + windows - first;
            const auto base = static_cast<std::uint16_t>(d * samples);
            for (std::size_t s = 0; s < samples; ++s) *p++ = static_cast<std::uint16_t>(base + s);
        }
    }
    return {};
}

namespace {

std::optional<std::uint64_t> lookup(const Params& params, std::string_view key) {
    const YamlValue* v = params.rest.find(key);
    if (!v) return std::nullopt;
    return v->as_unsigned();
}

}  // namespace

std::uint16_t setting16(const Params& params, std::string_view key, std::uint16_t fallback) {
    auto v = lookup(params, key);
    return v ? static_cast<std::uint16_t>(*v) : fallback;
}

std::uint32_t setting32(const Params& params, std::string_view key, std::uint32_t fallback) {
    auto v = lookup(params, key);
    return v ? static_cast<std::uint32_t>(*v) : fallback;
}

bool mul_overflows(std::size_t a, std::size_t b, std::size_t& out) { return __builtin_mul_overflow(a, b, &out); }
bool add_overflows(std::size_t a, std::size_t b, std::size_t& out) { return __builtin_add_overflow(a, b, &out); }

}  // namespace vuzevuz::parsing
