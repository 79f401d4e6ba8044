// Shared by the parser fuzz targets: Params and settings drawn from the head of the input.
//
// Input layout (bytes past the end read as 0):
//   0      model, an index into the family's model names
//   1..2   channels (LE), taken modulo kMaxChannels + 1
//   3..4   windows  (LE), modulo kMaxWindows + 1, or a huge value when flag bit 0 is set
//   5..6   samples  (LE), modulo kMaxSamples + 1, or a huge value when flag bit 1 is set
//   7      flags
//   8      number of settings, modulo 16
//   then per setting: key index, value kind, 8 value bytes (LE)
//   the rest is the raw event.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/metadata.hpp"
#include "parsing/models.hpp"

namespace fuzz {

inline constexpr std::size_t kMaxChannels = 512;
inline constexpr std::size_t kMaxWindows = 4096;
inline constexpr std::size_t kMaxSamples = 4096;
inline constexpr std::size_t kHeadBytes = 9;
inline constexpr std::size_t kSettingBytes = 10;

// Values past every machine-word boundary that the parsers must survive.
inline constexpr std::array<std::uint64_t, 8> kHuge = {
    1ull << 16, (1ull << 32) - 1, 1ull << 32, (1ull << 32) + 1, 1ull << 62, (1ull << 63) - 1, 1ull << 63, ~0ull,
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
    std::uint8_t u8() { return at_ < in_.size() ? in_[at_++] : (at_++, 0); }
    std::uint16_t u16() { return std::uint16_t(u8() | u8() << 8); }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t(u8()) << (8 * i);
        return v;
    }
    std::span<const std::uint8_t> rest() const { return at_ < in_.size() ? in_.subspan(at_) : in_.subspan(in_.size()); }

private:
    std::span<const std::uint8_t> in_;
    std::size_t at_ = 0;
};

inline vuzevuz::YamlValue text(std::string s) { return vuzevuz::YamlValue{std::move(s)}; }

inline vuzevuz::YamlValue setting_value(std::uint8_t kind, std::uint64_t v) {
    using vuzevuz::YamlValue;
    static const char* hex = "0123456789ABCDEF";
    switch (kind % 9) {
        case 0: return YamlValue{v};
        case 1: return YamlValue{v % 64};
        case 2: return YamlValue{v & 0xFFFF};
        case 3: return YamlValue{std::int64_t(-1 - std::int64_t(v % 1000))};
        case 4: {  // hexadecimal text, as the one text setting is written; sometimes signed or too long
            std::string s = (v >> 63) ? "+" : "";
            const unsigned digits = 1 + unsigned(v >> 56) % 10;
            for (unsigned i = 0; i < digits; ++i) s += hex[(v >> (4 * (digits - 1 - i) % 56)) & 15];
            return text(s);
        }
        case 5: return text(std::to_string(v));
        case 6: return YamlValue{bool(v & 1)};
        case 7: return YamlValue{double(std::int64_t(v)) / 7.0};
        default: return YamlValue{vuzevuz::YamlNull{}};
    }
}

struct Input {
    vuzevuz::Params params;
    std::span<const std::uint8_t> event;
};

using SettingTable = std::span<const vuzevuz::parsing::Setting>;

// Params for one of `models` with settings among the keys of the family's table, and the event bytes.
inline Input read_input(std::span<const std::uint8_t> data, std::initializer_list<std::string_view> models,
                        SettingTable table) {
    Reader r(data);
    Input in;
    const std::uint8_t model = r.u8();
    in.params.model = std::string(models.begin()[model % models.size()]);
    const std::uint16_t channels = r.u16(), windows = r.u16(), samples = r.u16();
    const std::uint8_t flags = r.u8();
    in.params.channels = channels % (kMaxChannels + 1);
    in.params.windows = (flags & 1) ? kHuge[windows % kHuge.size()] : windows % (kMaxWindows + 1);
    in.params.samples = (flags & 2) ? kHuge[samples % kHuge.size()] : samples % (kMaxSamples + 1);
    const unsigned n = r.u8() % 16;
    for (unsigned i = 0; i < n; ++i) {
        const std::uint8_t key = r.u8();
        const std::uint8_t kind = r.u8();
        const std::uint64_t value = r.u64();
        // Keys are unique in a metadata file; one extra name stands for keys no parser reads.
        const std::size_t at = key % (table.size() + 1);
        const std::string name = at < table.size() ? std::string(table[at].key) : std::string("other");
        if (in.params.rest.find(name)) continue;
        in.params.rest.entries.emplace_back(text(name), setting_value(kind, value));
    }
    in.event = r.rest();
    return in;
}

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "record check failed: %s\n", what);
    __builtin_trap();
}

// What every parsed record must satisfy.
template <class E>
void check_record(const E& ev, const vuzevuz::Params& p) {
    const std::size_t n = ev.data.size();
    if (ev.window_labels.size() != n || ev.time.size() != n) broken("per-channel lists differ in length");
    if constexpr (std::is_same_v<E, vuzevuz::parsing::Sirel96Event>) {
        if (n != 96) broken("sirel96 has 96 channels");
    } else {
        if (n != p.channels) broken("one list per channel");
    }
    if constexpr (requires { ev.timing; }) {
        if (ev.timing.size() != n) broken("timing per channel");
        for (std::size_t c = 0; c < n; ++c) {
            if (ev.timing[c].size() != ev.window_labels[c].size()) broken("one timing value per window");
            if (ev.data[c].size() != ev.window_labels[c].size() * p.samples) broken("samples per window");
            if (ev.time[c].size() > 0xFFFF) broken("time axis within 16 bits");
        }
    } else {
        // The ring time axis covers the channel indices below Params.channels (sirel96 lists
        // beyond them may hold data and labels without time values).
        for (std::size_t c = 0; c < n; ++c) {
            const std::size_t expected = c < p.channels ? ev.window_labels[c].size() * p.samples : 0;
            if (ev.time[c].size() != expected) broken("time per window sample");
        }
    }
}

// Parses the event with the family's parser; the model must belong to the family.
inline int run(std::span<const std::uint8_t> data, std::initializer_list<std::string_view> models,
               SettingTable table) {
    const Input in = read_input(data, models, table);
    auto r = vuzevuz::parsing::with_event_type(in.params.model, [&]<class E>(std::type_identity<E>) {
        auto ev = E::parse_into(in.event, in.params);
        if (ev) check_record(*ev, in.params);
        // FUZZ_SHOW=1 tells how each input ends, for checking seeds.
        static const bool show = std::getenv("FUZZ_SHOW") != nullptr;
        if (show) std::fprintf(stderr, "%s: %s\n", in.params.model.c_str(), ev ? "parsed" : ev.error().fmt().data());
        return 0;
    });
    if (!r) broken("model outside the table");
    return 0;
}

}  // namespace fuzz
