// A sirel96 event holds chip blocks of L bytes, up to num_chips [6] of them, then an event footer
// of n_event_footers [2] bytes that is not read. Words are 16-bit little-endian (defaults in brackets).
//
//   chip block (L bytes):
//     byte 0                           chip number in bits 0-5
//     bytes 1 .. n_chip_headers-1      not read [1 header byte]
//     chans_per_chip channel blocks of B words, chans_per_chip = channels / num_chips:
//       word 0                         in-chip channel = (w & chanmask) >> chan_shift [0xFF00, 8]
//                                      first label     = w & windmask                 [0xFF]
//       words 1 .. n_window_headers-1  not read [1 header word]
//       windows * samples words        samples, window after window: ~w & data_mask   [0x3FF]
//       n_window_footers words         not read [1]
//     n_chip_footers bytes             not read [3]
//
// B = n_window_headers + windows * samples + n_window_footers and
// L = n_chip_headers + 2 * chans_per_chip * B + n_chip_footers. A block lands in board channel
// chip number * chans_per_chip + in-chip channel, which must be below 96; its labels are one turn
// of the ring from its first label. With 96 channels and 64 windows of 64 samples: B = 4098,
// L = 131140, and six chips make an event of 786842 bytes. Shifts count modulo 16.
#pragma once

#include <optional>
#include <tuple>

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Sirel96Event : EventHead {
    static constexpr std::size_t board_channels = 96;

    using EccEntry = std::tuple<std::size_t, std::size_t, std::uint16_t, std::uint16_t, std::uint16_t>;
    std::vector<std::uint8_t> chip_ids;
    PerChannel<EccEntry> ecc_errors;

    Sirel96Event() : EventHead(board_channels), ecc_errors(board_channels) {}

    static ParseResult<Sirel96Event> parse_into(Bytes bytes, const Params& params);
};

namespace sirel96 {

inline constexpr std::array setting_table{
    Setting{"num_chips", 6, Width::Bits32},
    Setting{"n_chip_headers", 1, Width::Bits32},
    Setting{"n_chip_footers", 3, Width::Bits32},
    Setting{"n_window_headers", 1, Width::Bits32},
    Setting{"n_window_footers", 1, Width::Bits32},
    Setting{"data_mask", 0x3FF, Width::Bits16},
    Setting{"chanmask", 0xFF00, Width::Bits16},
    Setting{"chan_shift", 8, Width::Bits16},
    Setting{"windmask", 0xFF, Width::Bits16},
    Setting{"n_event_footers", 2, Width::Bits32},
};

struct ParamsCache {
    std::size_t chans_per_chip, windows, samples, per_block;  // per_block = windows * samples
    std::size_t n_event_footers, n_chip_headers, n_chip_footers, n_window_headers, n_window_footers;
    std::size_t chip_len;   // bytes of one chip block
    std::size_t block_len;  // words of one channel block
    std::uint16_t data_mask, chanmask, chan_shift, windmask;

    // Nothing when the settings give no chip layout: no chips, or sizes beyond a machine word.
    static std::optional<ParamsCache> from(const Params& params);
};

}  // namespace sirel96
}  // namespace vuzevuz::parsing
