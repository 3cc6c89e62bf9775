#pragma once
// The common form of a JSON number, read without the general number reader's bookkeeping: an
// optional minus, an integer part, an optional fraction, no exponent, at most 19 digits in all.
// Such a number's digits always fit the 64-bit significand, so Cursor::read_number gathers them
// all and scales them by the same power of ten: the result here is exactly its result. Any other
// form, including every malformed one, is left to Cursor::read_number, which judges it.
#include <bit>
#include <cstdint>

#include "core/json/digit_run.hpp"
#include "core/json/powers_of_ten.hpp"
#include "core/json/value.hpp"

namespace vorn::json {

inline constexpr int kMaxPlainDigits = 19;

// With Guarded, the caller knows that a byte which ends every number (a brace or white space)
// lies before `end`, so the scans below need not watch for the end.
template <bool Guarded>
inline bool at_end(const char* p, const char* end) {
    return !Guarded && p == end;
}

// Appends the digits at `p` to `significand` and moves `p` past them. Past 19 digits in all the
// significand wraps, and the number is not plain. (Prices and quantities are short: for them one
// digit at a time beats reading eight at a time, measured in time and in instructions.)
// With Long (a field whose numbers are long integers, such as millisecond times), the first eight
// digits are taken at once when there are eight.
template <bool Guarded, bool Long = false>
inline void gather_digits(const char*& p, const char* end, std::uint64_t& significand) {
    if constexpr (Long && std::endian::native == std::endian::little) {
        std::uint64_t run = 0;
        if (end - p >= 8 && read_digit_run(p, run) == 8) {
            significand = significand * kSmallPowersOfTen[8] + run;
            p += 8;
        }
    }
    for (; !at_end<Guarded>(p, end) && static_cast<unsigned>(*p - '0') <= 9; ++p) {
        significand = significand * 10 + static_cast<unsigned>(*p - '0');
    }
}

// A plain number as scanned: its value is (negative ? -1 : 1) x significand / 10^fraction_digits.
struct PlainNumber {
    bool negative = false;
    int fraction_digits = 0;  // 0 for an integer
    std::uint64_t significand = 0;
};

// Scans the number starting at `p` (before `end`) and moves `p` past it; false, with `p` unchanged,
// when the number is not of the plain form.
template <bool Guarded = false, bool Long = false>
inline bool scan_plain_number(const char*& p, const char* end, PlainNumber& n) {
    const char* q = p;
    n.negative = !at_end<Guarded>(q, end) && *q == '-';
    if (n.negative) ++q;
    if (at_end<Guarded>(q, end) || static_cast<unsigned>(*q - '0') > 9) return false;
    n.significand = 0;
    int digits = 0;
    if (*q == '0') {
        ++q;
        if (!at_end<Guarded>(q, end) && static_cast<unsigned>(*q - '0') <= 9) return false;  // a leading zero
    } else {
        const char* integer = q;
        gather_digits<Guarded, Long>(q, end, n.significand);
        digits = static_cast<int>(q - integer);
    }
    n.fraction_digits = 0;
    if (!at_end<Guarded>(q, end) && *q == '.') {
        ++q;
        const char* fraction = q;
        gather_digits<Guarded>(q, end, n.significand);
        n.fraction_digits = static_cast<int>(q - fraction);
        if (n.fraction_digits == 0) return false;
    }
    // Digits beyond the limit may have wrapped the significand: such a number is not plain.
    if (digits + n.fraction_digits > kMaxPlainDigits) return false;
    if (!at_end<Guarded>(q, end) && (*q == 'e' || *q == 'E')) return false;
    // An integer below the least 64-bit integer is a float to read_number; left to it.
    if (n.negative && n.fraction_digits == 0 && n.significand > std::uint64_t{1} << 63) return false;
    p = q;
    return true;
}

// The number's value as a double: the significand, divided by its power of ten when it has a
// fraction (an integer converts to the nearest double, and negation is exact).
inline double plain_double(const PlainNumber& n) {
    double magnitude = static_cast<double>(n.significand);
    if (n.fraction_digits != 0) magnitude /= kPowersOfTen[n.fraction_digits];
    return n.negative ? -magnitude : magnitude;
}

// A plain number as read_number gives it: an unsigned or negative integer, or a float.
template <bool Guarded = false, bool Long = false>
inline bool read_plain_number(const char*& p, const char* end, Value& out) {
    PlainNumber n;
    if (!scan_plain_number<Guarded, Long>(p, end, n)) return false;
    if (n.fraction_digits != 0) {
        out = Value::floating(plain_double(n));
    } else if (!n.negative) {
        out = Value::unsigned_integer(n.significand);
    } else if (n.significand == 0) {
        out = Value::floating(-0.0);
    } else {
        out = Value::negative_integer(static_cast<std::int64_t>(0 - n.significand));
    }
    return true;
}

// The same number as a double, as Value::to_double makes it of read_number's value.
template <bool Guarded = false>
inline bool read_plain_double(const char*& p, const char* end, double& out) {
    PlainNumber n;
    if (!scan_plain_number<Guarded>(p, end, n)) return false;
    out = plain_double(n);
    return true;
}

}  // namespace vorn::json
