#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Dravikv1Event : EventHead {
    using EventHead::EventHead;

    static ParseResult<Dravikv1Event> parse_into(Bytes bytes, const Params& params);
};

namespace dravikv1 {

inline constexpr std::array setting_table{
    Setting{"n_window_headers", 2, Width::Bits32},
    Setting{"n_event_headers", 7, Width::Bits32},
    Setting{"n_footer_words", 1, Width::Bits32},
};

struct ParamsCache {
    std::size_t channels, windows, samples;
    std::uint32_t n_window_headers, n_event_headers, n_footer_words;

    static ParamsCache from(const Params& params);
};

}  // namespace dravikv1
}  // namespace vuzevuz::parsing
