#pragma once

#include <tuple>

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

struct Sirel96Event : EventHead {
    using EventHead::EventHead;
    using EccEntry = std::tuple<std::size_t, std::size_t, std::uint16_t, std::uint16_t, std::uint16_t>;
    std::vector<std::uint8_t> chip_ids;
    PerChannel<EccEntry> ecc_errors;

    static ParseResult<Sirel96Event> parse_into(Bytes bytes, const Params& params);
};

}  // namespace vuzevuz::parsing
