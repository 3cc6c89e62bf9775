#pragma once
// The common form of a JSON number, read without the general number reader's bookkeeping: an
// optional minus, an integer part, an optional fraction, no exponent, at most 19 digits in all.
// Such a number's digits always fit the 64-bit significand, so Cursor::read_number gathers them
// all and scales them by the same power of ten: the result here is exactly its result. Any other
// form, including every malformed one, is left to Cursor::read_number, which judges it.
#include <cstdint>

#include "core/json/powers_of_ten.hpp"
#include "core/json/value.hpp"

namespace vorn::json {

inline constexpr int kMaxPlainDigits = 19;

// Reads the number starting at `p` (before `end`) and moves `p` past it; false, with `p` unchanged,
// when the number is not of the plain form.
inline bool read_plain_number(const char*& p, const char* end, Value& out) {
    const char* q = p;
    const bool negative = q != end && *q == '-';
    if (negative) ++q;
    if (q == end || static_cast<unsigned>(*q - '0') > 9) return false;
    std::uint64_t significand = 0;
    int digits = 0;
    if (*q == '0') {
        ++q;
        if (q != end && static_cast<unsigned>(*q - '0') <= 9) return false;  // a leading zero
    } else {
        for (; q != end && static_cast<unsigned>(*q - '0') <= 9; ++q, ++digits) {
            significand = significand * 10 + static_cast<unsigned>(*q - '0');
        }
    }
    int fraction_digits = 0;
    if (q != end && *q == '.') {
        ++q;
        const char* fraction = q;
        for (; q != end && static_cast<unsigned>(*q - '0') <= 9; ++q) {
            significand = significand * 10 + static_cast<unsigned>(*q - '0');
        }
        fraction_digits = static_cast<int>(q - fraction);
        if (fraction_digits == 0) return false;
    }
    // Digits beyond the limit may have wrapped the significand: such a number is not plain.
    if (digits + fraction_digits > kMaxPlainDigits) return false;
    if (q != end && (*q == 'e' || *q == 'E')) return false;
    if (fraction_digits != 0) {
        const double magnitude = static_cast<double>(significand) / kPowersOfTen[fraction_digits];
        out = Value::floating(negative ? -magnitude : magnitude);
    } else if (!negative) {
        out = Value::unsigned_integer(significand);
    } else if (significand == 0) {
        out = Value::floating(-0.0);
    } else if (significand > std::uint64_t{1} << 63) {
        return false;  // below the least 64-bit integer: a float, which read_number makes of it
    } else {
        out = Value::negative_integer(static_cast<std::int64_t>(0 - significand));
    }
    p = q;
    return true;
}

}  // namespace vorn::json
