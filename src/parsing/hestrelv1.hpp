#pragma once

#include <optional>

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Hestrelv1Event : EventHead {
    PerChannel<std::uint32_t> timing;

    Hestrelv1Event() = default;
    explicit Hestrelv1Event(std::size_t channels) : EventHead(channels), timing(channels) {}

    static ParseResult<Hestrelv1Event> parse_into(Bytes bytes, const Params& params);
};

namespace hestrelv1 {

struct ParamsCache {
    std::size_t channels, samples;
    std::uint16_t chanmask, abs_wind_mask, timing_mask;
    std::uint32_t timing_shift;
    std::size_t packet_words;  // W: packet_size / 2 + 1
    std::uint32_t headers;
    std::uint16_t stop_word;

    explicit ParamsCache(const Params& params);
};

// A text of hexadecimal digits, optionally after one '+', whose value fits 32 bits.
std::optional<std::uint32_t> parse_hex32(std::string_view text);

}  // namespace hestrelv1
}  // namespace vuzevuz::parsing
