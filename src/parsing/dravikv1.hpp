// A dravik event is a run of groups of G big-endian 16-bit words; its last 4 bytes are never read,
// so the last group may lack them (defaults in brackets).
//
//   group (G words):
//     word 0                           channel base = 4 * w
//     words 1 .. n_event_headers-1     not read [7 header words]
//     4 sub-blocks of S words:
//       word 0                         window label
//       word 1                         channel offset: channel = base + w
//       words 2 .. samples+1           samples, taken whole
//       words samples+2 .. S-1         not read (none with n_window_headers 2)
//     n_footer_words + 1 words         not read [2 words: the group's last 4 bytes]
//
// S = n_window_headers [2] + samples and G = n_event_headers + 4 * S + n_footer_words + 1. With
// samples 4: S = 6, G = 33 words, 66 bytes.
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
