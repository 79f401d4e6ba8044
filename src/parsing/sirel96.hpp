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
