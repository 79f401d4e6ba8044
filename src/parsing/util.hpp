// What every parser shares: the record head, word decoding, the ring time axis, settings.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error/error.hpp"

namespace vuzevuz::parsing {

using Bytes = std::span<const std::uint8_t>;

template <class T>
using PerChannel = std::vector<std::vector<T>>;

// `channels` empty lists; a count beyond what any vector can hold is out of memory, like one
// that the machine cannot hold.
template <class T>
PerChannel<T> lists_for(std::size_t channels) {
    if (channels > PerChannel<T>().max_size()) throw std::bad_alloc();
    return PerChannel<T>(channels);
}

// The three per-channel lists every event record begins with.
struct EventHead {
    PerChannel<float> data;
    PerChannel<std::uint16_t> window_labels;
    PerChannel<std::uint16_t> time;

    EventHead() = default;
    explicit EventHead(std::size_t channels)
        : data(lists_for<float>(channels)),
          window_labels(lists_for<std::uint16_t>(channels)),
          time(lists_for<std::uint16_t>(channels)) {}
};

// Room for `more` further items. Capacity grows at least twofold, so a list appended to by many
// blocks is copied a logarithmic number of times.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t more) {
    if (v.capacity() - v.size() >= more) return;
    v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

template <class E>
using ParseResult = std::expected<E, ParsingError>;

constexpr std::unexpected<ParsingError> fail(ParsingError::Kind k) { return std::unexpected(ParsingError(k)); }

// One 16-bit word from the two bytes at p: big-endian (first byte high) or little-endian.
inline std::uint16_t be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }
inline std::uint16_t le16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

// The words of `bytes`, two bytes each; a trailing odd byte is dropped.
std::vector<std::uint16_t> read_words_be(Bytes bytes);
std::vector<std::uint16_t> read_words_le(Bytes bytes);

// Appends the ring time axis for the channels below `channels`.
std::expected<void, ParsingError> set_time_axis(PerChannel<std::uint16_t>& time,
                                                const PerChannel<std::uint16_t>& window_labels,
                                                std::size_t channels, std::size_t windows, std::size_t samples);
inline std::expected<void, ParsingError> set_time_axis(PerChannel<std::uint16_t>& time,
                                                       const PerChannel<std::uint16_t>& window_labels,
                                                       const Params& params) {
    return set_time_axis(time, window_labels, params.channels, params.windows, params.samples);
}

// The last step of a parse: appends the ring time axis to `ev` and hands the record back.
template <class E>
ParseResult<E> with_time_axis(E ev, const Params& params) {
    if (auto r = set_time_axis(ev.time, ev.window_labels, params); !r) return std::unexpected(r.error());
    return ev;
}

// Model-specific settings, read from the extra keys of Params at every parse. Each family lists
// its own in one table of {key, default, width}; a missing key or an unusable value gives the
// default, and no setting ever fails a parse.
//
// Width: masks, shifts and word values keep the low 16 bits of a non-negative integer, counts
// the low 32 bits. HexText16 is hestrel's stop word, the one setting written as text: hexadecimal
// digits after an optional '+', whose value fits 32 bits, of which the low 16 bits are kept.
enum class Width : std::uint8_t { Bits16, Bits32, HexText16 };

struct Setting {
    std::string_view key;
    std::uint32_t fallback;
    Width width;
};

std::uint32_t read_setting(const Params& params, const Setting& setting);

// A setting's key as a template argument, so that a lookup is checked when compiled.
template <std::size_t N>
struct SettingKey {
    char text[N];
    consteval SettingKey(const char (&s)[N]) { std::copy_n(s, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// Every setting of a family's table, read once from `params`: s.get<"chanmask">() is the value
// of that key, as 16 or 32 bits after its width.
template <const auto& Table>
class Settings {
public:
    explicit Settings(const Params& params) {
        for (std::size_t i = 0; i < Table.size(); ++i) values_[i] = read_setting(params, Table[i]);
    }

    template <SettingKey Key>
    auto get() const {
        constexpr std::size_t i = slot(Key.view());
        if constexpr (Table[i].width == Width::Bits32)
            return values_[i];
        else
            return static_cast<std::uint16_t>(values_[i]);
    }

private:
    static consteval std::size_t slot(std::string_view key) {
        for (std::size_t i = 0; i < Table.size(); ++i)
            if (Table[i].key == key) return i;
        throw "not a key of this table";
    }

    std::array<std::uint32_t, Table.size()> values_{};
};

// a * b + c ... in size_t, or nothing on overflow.
bool mul_overflows(std::size_t a, std::size_t b, std::size_t& out);
bool add_overflows(std::size_t a, std::size_t b, std::size_t& out);

}  // namespace vuzevuz::parsing
