// The rule that picks the samples an event dictionary takes from the shared float table: exactly
// the integral values 0.0 to 65535.0, so every other float is converted anew and keeps its value
// (the sign of -0.0 included). Exit status 0 when every check holds.
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "python_api/numbers.hpp"

using vuzevuz::py::shared_float_slot;

int main() {
    int failures = 0;
    struct Case {
        float value;
        std::optional<std::uint16_t> slot;
        const char* what;
    };
    const Case cases[] = {
        {0.0f, 0, "0.0"},
        {1.0f, 1, "1.0"},
        {1023.0f, 1023, "1023.0"},
        {65535.0f, 65535, "65535.0"},
        {-0.0f, std::nullopt, "-0.0 keeps its sign"},
        {-1.0f, std::nullopt, "-1.0"},
        {0.5f, std::nullopt, "0.5"},
        {65534.5f, std::nullopt, "65534.5"},
        {std::nextafter(65535.0f, 0.0f), std::nullopt, "just below 65535"},
        {65536.0f, std::nullopt, "65536.0"},
        {std::numeric_limits<float>::denorm_min(), std::nullopt, "smallest denormal"},
        {std::numeric_limits<float>::infinity(), std::nullopt, "infinity"},
        {-std::numeric_limits<float>::infinity(), std::nullopt, "-infinity"},
        {std::numeric_limits<float>::quiet_NaN(), std::nullopt, "NaN"},
        {-std::numeric_limits<float>::quiet_NaN(), std::nullopt, "-NaN"},
    };
    for (const Case& c : cases) {
        if (shared_float_slot(c.value) != c.slot) {
            std::printf("FAILED: %s\n", c.what);
            ++failures;
        }
    }
    // Every slot is taken by exactly its own value.
    for (unsigned v = 0; v < 65536; ++v) {
        if (shared_float_slot(static_cast<float>(v)) != std::optional<std::uint16_t>(static_cast<std::uint16_t>(v))) {
            std::printf("FAILED: slot of %u.0\n", v);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
