// Which numbers of an event dictionary come from the shared tables. Free of Python, so the rule
// can be tested on its own.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

namespace vuzevuz::py {

// The table slot of a sample that is one of the integral floats 0.0 to 65535.0 (the positive zero
// only), or nothing for any other value: -0.0, a fraction, NaN, an infinity, anything larger.
constexpr std::optional<std::uint16_t> shared_float_slot(float v) {
    if (!(v >= 0.0f && v <= 65535.0f)) return std::nullopt;
    const auto slot = static_cast<std::uint16_t>(v);
    if (std::bit_cast<std::uint32_t>(static_cast<float>(slot)) != std::bit_cast<std::uint32_t>(v)) return std::nullopt;
    return slot;
}

}  // namespace vuzevuz::py
