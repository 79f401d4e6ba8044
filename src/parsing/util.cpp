#include "parsing/util.hpp"

#include <limits>
#include <new>
#include <optional>

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
        std::size_t added, total;
        // More values than a machine word counts cannot be held.
        if (mul_overflows(labels.size(), samples, added) || add_overflows(at, added, total)) throw std::bad_alloc();
        out.resize(total);
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

// Hexadecimal digits, optionally after one '+', whose value fits 32 bits.
std::optional<std::uint32_t> parse_hex32(std::string_view text) {
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

}  // namespace

std::uint32_t read_setting(const Params& params, const Setting& setting) {
    const YamlValue* v = params.rest.find(setting.key);
    if (!v) return setting.fallback;
    if (setting.width == Width::HexText16) {
        const std::string* text = v->as_text();
        const auto value = text ? parse_hex32(*text) : std::nullopt;
        return value ? std::uint16_t(*value) : setting.fallback;
    }
    const auto value = v->as_unsigned();
    if (!value) return setting.fallback;
    return setting.width == Width::Bits16 ? std::uint16_t(*value) : std::uint32_t(*value);
}

bool mul_overflows(std::size_t a, std::size_t b, std::size_t& out) { return __builtin_mul_overflow(a, b, &out); }
bool add_overflows(std::size_t a, std::size_t b, std::size_t& out) { return __builtin_add_overflow(a, b, &out); }

}  // namespace vuzevuz::parsing
