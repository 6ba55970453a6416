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

inline double scale_down(int64_t n, int64_t power) {
    constexpr int64_t kLimit = int64_t(1) << 53;
    if (power >= 0 && power <= 22 && n > -kLimit && n < kLimit)
        return static_cast<double>(n) / detail::kExactPowersOfTen[power];
    return divide_by_power_of_ten(n, power);
}

// Little-endian loads.
inline uint16_t load_u16le(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t load_u32le(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t load_u64le(const uint8_t *p) { return uint64_t(load_u32le(p)) | (uint64_t(load_u32le(p + 4)) << 32); }
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

// A decoded number that keeps the interpreter's distinction between an exact
// integer and a float. Every integer a decoder or a caller's bound gives fits
// 64 bits; sums that could grow beyond them are formed elsewhere.
struct Number {
    bool is_int = false;
    union {
        double f = 0.0;  // the value when !is_int
        int64_t i;       // the value when is_int
    };

    static Number integer(int64_t v) {
        Number n;
        n.is_int = true;
        n.i = v;
        return n;
    }
    static Number real(double v) {
        Number n;
        n.f = v;
        return n;
    }
    // float(n): an int is rounded to the nearest double.
    double to_double() const { return is_int ? static_cast<double>(i) : f; }
};

// Exact three-way comparison of an integer with a double, as the interpreter
// compares int with float: -1, 0 or 1, and 2 when the double is NaN.
int compare_int_double(i128 i, double d);

// An integer of at most 2**53 in magnitude converts to a double exactly, so
// comparing the converted value compares the integer itself.
inline bool exact_as_double(int64_t i) {
    constexpr int64_t kLimit = int64_t(1) << 53;
    return i >= -kLimit && i <= kLimit;
}

// a < b and a > b with the interpreter's exact mixed comparisons (false when
// a NaN takes part).
inline bool less(const Number &a, const Number &b) {
    if (a.is_int && b.is_int) return a.i < b.i;
    if (!a.is_int && !b.is_int) return a.f < b.f;
    if (a.is_int) return exact_as_double(a.i) ? static_cast<double>(a.i) < b.f : compare_int_double(a.i, b.f) == -1;
    return exact_as_double(b.i) ? a.f < static_cast<double>(b.i) : compare_int_double(b.i, a.f) == 1;
}
inline bool greater(const Number &a, const Number &b) { return less(b, a); }

}  // namespace zarn
