// A korvexv3 event (pellamv2 boards write the same) is a run of big-endian 16-bit words whose
// payload is cut into windows of R words. Defaults in brackets.
//
//   bytes 0, 1, 2                      header_value = b0 * 65536 + b1 * 16 + (b2, or 0 when 0xFF)
//                                      header_byte  = b2
//   words 0 .. n_event_headers-1       event header [3 words], otherwise not read
//   W windows of R words:
//     word 0                           channel = (w & chanmask) >> chan_shift          [0x600, 9]
//                                      label   = (w & windmask) >> n_last_bits         [0x1FE, 1]
//     words 1 .. R-1                   samples: (w & databitmask) >> n_last_bits       [0x1FFF, 1]
//   last n_footers-1 words             not read [1 word]
//
// R = samples + n_window_headers [1]; the payload holds P = N - n_footers - n_event_headers + 1
// words and W = P / R windows. Only the channels named by windows 0 .. min(channels, W)-1 count:
// sorted and without repeats they take the windows in turn, window j going to the (j mod n)-th.
// Shifts count modulo 16.
#pragma once

#include "parsing/util.hpp"

namespace vuzevuz::parsing {

// The record of the korvexv3 raw format, which the pellamv2 boards share.
struct Korvexv3Fields : EventHead {
    using EventHead::EventHead;
    std::uint32_t header_value = 0;
    std::uint16_t header_byte = 0;
};

struct Korvexv3Event : Korvexv3Fields {
    using Korvexv3Fields::Korvexv3Fields;
    static ParseResult<Korvexv3Event> parse_into(Bytes bytes, const Params& params);
};

namespace korvexv3 {

// Read by the pellamv2 parser too.
inline constexpr std::array setting_table{
    Setting{"databitmask", 0x1FFF, Width::Bits16},
    Setting{"chanmask", 0x600, Width::Bits16},
    Setting{"chan_shift", 9, Width::Bits16},
    Setting{"windmask", 0x1FE, Width::Bits16},
    Setting{"n_event_headers", 3, Width::Bits32},
    Setting{"n_window_headers", 1, Width::Bits32},
    Setting{"n_footers", 2, Width::Bits32},
    Setting{"n_last_bits", 1, Width::Bits32},
};

// Parses one event of the korvexv3 raw format.
ParseResult<Korvexv3Fields> parse_fields(Bytes bytes, const Params& params);

// The parsed fields as a record of type E, korvexv3 or pellamv2.
template <class E>
ParseResult<E> parse_as(Bytes bytes, const Params& params) {
    auto fields = parse_fields(bytes, params);
    if (!fields) return std::unexpected(fields.error());
    E ev;
    static_cast<Korvexv3Fields&>(ev) = std::move(*fields);
    return ev;
}

}  // namespace korvexv3
}  // namespace vuzevuz::parsing
