#include "format/numbers.hpp"

#include <algorithm>
#include <cstdlib>

namespace zarn {

namespace detail {
const double kExactPowersOfTen[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
}

std::string to_decimal(i128 value) {
    if (value == 0) return "0";
    bool negative = value < 0;
    u128 magnitude = negative ? u128(0) - u128(value) : u128(value);
    char buf[48];
    int pos = sizeof buf;
    while (magnitude != 0) {
        buf[--pos] = char('0' + int(magnitude % 10));
        magnitude /= 10;
    }
    if (negative) buf[--pos] = '-';
    return std::string(buf + pos, sizeof buf - pos);
}

double divide_by_power_of_ten(i128 n, int64_t power) {
    if (n == 0) return 0.0;
    // The quotient is the decimal number "<n>e-<power>"; strtod rounds a
    // decimal string correctly, with gradual underflow and the sign kept.
    std::string text = to_decimal(n);
    text += power >= 0 ? "e-" : "e";
    text += std::to_string(power >= 0 ? power : -power);
    return std::strtod(text.c_str(), nullptr);
}

int compare_int_double(i128 i, double d) {
    if (d != d) return 2;
    if (d == __builtin_inf()) return -1;
    if (d == -__builtin_inf()) return 1;
    // Every double of magnitude 2**126 or more lies beyond any i128 operand
    // used here; below that, compare the integer part exactly, then the
    // fraction.
    if (d >= 0x1p126) return -1;
    if (d <= -0x1p126) return 1;
    const double whole = __builtin_trunc(d);
    const i128 w = static_cast<i128>(whole);
    if (i < w) return -1;
    if (i > w) return 1;
    const double fraction = d - whole;
    if (fraction > 0) return -1;
    if (fraction < 0) return 1;
    return 0;
}

}  // namespace zarn
