#include "export/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vuzevuz::csv {

namespace {

std::size_t write_uint(std::uint32_t u, char* out) {
    char tmp[10];
    std::size_t n = 0;
    do {
        tmp[n++] = char('0' + u % 10);
        u /= 10;
    } while (u != 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    return n;
}

}  // namespace

std::size_t format_float(float v, char* out) {
    if (std::isnan(v)) return 0;
    char* p = out;
    // Whole numbers below 2^24 are exactly their decimal digits.
    if (std::fabs(v) < 16777216.0f) {
        const auto i = static_cast<std::int32_t>(v);
        if (static_cast<float>(i) == v) {
            if (std::signbit(v)) *p++ = '-';
            return std::size_t(p - out) + write_uint(std::uint32_t(i < 0 ? -i : i), p);
        }
    }
    // The shortest round-trip digits come from the scientific form: d[.ddd]e±XX.
    char sci[kMaxFloatText];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* s = sci;
    const char* end = res.ptr;
    if (*s == '-') {
        *p++ = '-';
        ++s;
    }
    if (*s == 'i') {  // inf
        std::memcpy(p, "inf", 3);
        return std::size_t(p - out) + 3;
    }
    char digits[16];
    std::size_t nd = 0;
    for (; s < end && *s != 'e'; ++s)
        if (*s != '.') digits[nd++] = *s;
    int exp = 0;
    if (s < end) {
        ++s;
        const bool neg = *s == '-';
        ++s;
        for (; s < end; ++s) exp = exp * 10 + (*s - '0');
        if (neg) exp = -exp;
    }
    // The value is 0.d1d2...dn times 10^(exp + 1).
    const int point = exp + 1;  // digits before the decimal point
    if (point <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int z = 0; z < -point; ++z) *p++ = '0';
        std::memcpy(p, digits, nd);
        p += nd;
    } else if (std::size_t(point) >= nd) {
        std::memcpy(p, digits, nd);
        p += nd;
        for (std::size_t z = nd; z < std::size_t(point); ++z) *p++ = '0';
    } else {
        std::memcpy(p, digits, std::size_t(point));
        p += point;
        *p++ = '.';
        std::memcpy(p, digits + point, nd - std::size_t(point));
        p += nd - std::size_t(point);
    }
    return std::size_t(p - out);
}

}  // namespace vuzevuz::csv
