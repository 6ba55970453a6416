// Exact integer and decimal-scaling arithmetic with the results the
// interpreter gives: integers never wrap, and an integer divided by a power
// of ten is the exact quotient rounded once to the nearest double.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace zarn {

using i128 = __int128;
using u128 = unsigned __int128;

// Decimal text of a 128-bit integer.
std::string to_decimal(i128 value);

// Correctly rounded n / 10**power (round half to even, gradual underflow to a
// subnormal or a signed zero), as the interpreter's true division of two
// integers gives it, for every power up to 65535 and beyond.
double divide_by_power_of_ten(i128 n, int64_t power);

namespace detail {
extern const double kExactPowersOfTen[23];
}

// The common case inline: |n| < 2**53 and 10**power exact in a double, where
// one IEEE division is already the correctly rounded quotient.
inline double scale_down(i128 n, int64_t power) {
    constexpr i128 kLimit = i128(1) << 53;
    if (power >= 0 && power <= 22 && n > -kLimit && n < kLimit)
        return static_cast<double>(static_cast<int64_t>(n)) / detail::kExactPowersOfTen[power];
    return divide_by_power_of_ten(n, power);
}

inline double scale_down(int64_t n, int64_t power) { return scale_down(static_cast<i128>(n), power); }

// Little-endian loads.
inline uint16_t load_u16le(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t load_u32le(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t load_u64le(const uint8_t *p) {
    return uint64_t(load_u32le(p)) | (uint64_t(load_u32le(p + 4)) << 32);
}
inline float load_f32le(const uint8_t *p) {
    uint32_t bits = load_u32le(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline double load_f64le(const uint8_t *p) {
    uint64_t bits = load_u64le(p);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Saturating addition of positions and sizes: positions computed from file
// values never wrap around.
inline int64_t add_sat(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

}  // namespace zarn
