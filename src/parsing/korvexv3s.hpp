// A korvexv3s event is a run of big-endian 16-bit words that, like a tolvanev3 one, states neither
// its channel count J nor its window count: both follow from the event's byte length. Defaults in
// brackets.
//
//   words 0 .. n_event_headers-1       event header [3 words], not read
//   windows of W words, as many as the payload holds whole:
//     J channel blocks of `block` words:
//       word 0                         channel = (w & chanmask) >> chan_shift          [0x3FF, 8]
//                                      label   = (w & windmask) >> n_last_bits         [0xFF, 0]
//       words 1 .. block-1             samples: (w & datamask) >> n_last_bits          [0x1FFF, 0]
//     n_window_headers words           not read while shorter than a block [none]
//     (word W-1, the window's last, is also kept raw in window_last_words)
//   n_footer_words words               not read [1]
//
// block = n_channel_headers [1] + samples and W = J * block + n_window_headers. The length of I
// windows of J channels counts n_window_footers [0] per window instead:
// 2 * (n_event_headers + n_footer_words + I * (J * block + n_window_footers)) bytes. Shifts count
// modulo 16.
#pragma once

#include <optional>

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Korvexv3SEvent : EventHead {
    using EventHead::EventHead;
    std::vector<std::uint16_t> window_last_words;

    static ParseResult<Korvexv3SEvent> parse_into(Bytes bytes, const Params& params);
};

namespace korvexv3s {

inline constexpr std::array setting_table{
    Setting{"n_channel_headers", 1, Width::Bits32},
    Setting{"chanmask", 0x3FF, Width::Bits16},
    Setting{"chan_shift", 8, Width::Bits16},
    Setting{"windmask", 0xFF, Width::Bits16},
    Setting{"datamask", 0x1FFF, Width::Bits16},
    Setting{"n_event_headers", 3, Width::Bits32},
    Setting{"n_footer_words", 1, Width::Bits32},
    Setting{"n_window_headers", 0, Width::Bits32},
    Setting{"n_window_footers", 0, Width::Bits32},
    Setting{"n_last_bits", 0, Width::Bits32},
};

struct ParamsCache {
    std::size_t channels, windows, samples;
    std::uint32_t n_channel_headers, n_event_headers, n_footer_words, n_window_headers, n_window_footers, n_last_bits;
    std::uint16_t chanmask, chan_shift, windmask, datamask;

    static ParamsCache from(const Params& params);
};

// The channel count that an event of `len` bytes (even) stands for: among the pairs
// (j channels, i windows), 1 <= j <= channels and 1 <= i < windows, whose length
// 2 * (n_event_headers + n_footer_words + i * (j * block + n_window_footers)) is `len`,
// the only one, or else the one with most channels whose first window fits.
// Lengths are exact integers: a pair whose length exceeds the machine word matches nothing.
std::optional<std::size_t> channels_for_length(std::size_t len, std::size_t block, const ParamsCache& pc);

}  // namespace korvexv3s
}  // namespace vuzevuz::parsing
