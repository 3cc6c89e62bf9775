#include "core/json/writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace vorn::json {
namespace {

// The escape of each byte below 0x20 and of '"' and '\\'; empty for bytes copied unchanged.
struct EscapeTable {
    char text[256][7] = {};
    unsigned char length[256] = {};

    constexpr EscapeTable() {
        constexpr char kHex[] = "0123456789abcdef";
        for (int b = 0; b < 0x20; ++b) {
            text[b][0] = '\\';
            text[b][1] = 'u';
            text[b][2] = '0';
            text[b][3] = '0';
            text[b][4] = kHex[b >> 4];
            text[b][5] = kHex[b & 15];
            length[b] = 6;
        }
        set_short('"', '"');
        set_short('\\', '\\');
        set_short(0x08, 'b');
        set_short(0x09, 't');
        set_short(0x0A, 'n');
        set_short(0x0C, 'f');
        set_short(0x0D, 'r');
    }
    constexpr void set_short(int b, char letter) {
        text[b][0] = '\\';
        text[b][1] = letter;
        text[b][2] = 0;
        length[b] = 2;
    }
};

constexpr EscapeTable kEscapes;

}  // namespace

void write_string(std::string& out, std::string_view text) {
    out.push_back('"');
    const char* data = text.data();
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(data[i]);
        unsigned length = kEscapes.length[b];
        if (length == 0) continue;
        out.append(data + run_start, i - run_start);
        out.append(kEscapes.text[b], length);
        run_start = i + 1;
    }
    out.append(data + run_start, text.size() - run_start);
    out.push_back('"');
}

void write_int(std::string& out, std::int64_t value) {
    char buffer[24];
    std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

void write_uint(std::string& out, std::uint64_t value) {
    char buffer[24];
    std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes `value` (below 10^8) with exactly `width` digits, leading zeros included.
char* write_fixed_digits(char* w, std::uint32_t value, int width) {
    char* end = w + width;
    char* p = end;
    while (p - w >= 2) {
        std::memcpy(p - 2, kDigitPairs + 2 * (value % 100), 2);
        value /= 100;
        p -= 2;
    }
    if (p != w) *--p = static_cast<char>('0' + value % 10);
    return end;
}

int decimal_width(std::uint32_t value) {
    int width = 1;
    while (value >= 10) {
        value /= 10;
        ++width;
    }
    return width;
}

// Most floats in replies are whole multiples of 1e-8 (every panel value passes through the
// eight-decimal rounding). For such a value v = r / 1e8 with 1e-5 <= |v| < 2^26, the spacing of
// doubles near v is below 1e-8, so no other multiple of 1e-8, and hence no shorter decimal, reads
// back to v: the shortest form is r's eight-decimal expansion without trailing zeros, and its
// exponent lies in the plain layout's range. Returns the end of the text, or nullptr when v is
// not such a value (the general path then decides). Zero is answered here too.
char* write_eight_decimals(char* w, double value) {
    double magnitude = std::fabs(value);
    if (!(magnitude >= 1e-5 && magnitude < 67108864.0)) {
        // Zero, the most frequent value of a sparse grid, has its own fixed spelling.
        if (value != 0.0) return nullptr;
        if (std::signbit(value)) *w++ = '-';
        return std::copy_n("0.0", 3, w);
    }
    // magnitude * 1e8 carries two roundings, so the integer r may be one off the nearest.
    auto r = static_cast<std::uint64_t>(magnitude * 1e8 + 0.5);
    if (static_cast<double>(r) / 1e8 != magnitude) {
        if (static_cast<double>(r + 1) / 1e8 == magnitude) {
            ++r;
        } else if (r != 0 && static_cast<double>(r - 1) / 1e8 == magnitude) {
            --r;
        } else {
            return nullptr;
        }
    }
    if (value < 0) *w++ = '-';
    auto whole = static_cast<std::uint32_t>(r / 100000000);
    auto fraction = static_cast<std::uint32_t>(r % 100000000);
    w = write_fixed_digits(w, whole, decimal_width(whole));
    *w++ = '.';
    if (fraction == 0) {
        *w++ = '0';
        return w;
    }
    int width = 8;
    while (fraction % 10 == 0) {
        fraction /= 10;
        --width;
    }
    // The leading zeros of the eight places stay; the trailing ones were dropped.
    return write_fixed_digits(w, fraction, width);
}

}  // namespace

char* format_float(char* text, double value) {
    if (char* end = write_eight_decimals(text, value)) return end;
    return detail::format_float_general(text, value);
}

void write_float(std::string& out, double value) {
    char text[kFloatTextCapacity];
    out.append(text, static_cast<std::size_t>(format_float(text, value) - text));
}

namespace detail {

char* format_float_general(char* text, double value) {
    if (!std::isfinite(value)) return std::copy_n("null", 4, text);
    if (value == 0.0) return std::signbit(value) ? std::copy_n("-0.0", 4, text) : std::copy_n("0.0", 3, text);
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX.
    char sci[32];
    const char* sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* p = sci;
    const bool negative = *p == '-';
    if (negative) ++p;
    char digits[20];
    int count = 0;
    digits[count++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[count++] = *p;
    }
    ++p;  // 'e'
    const bool exponent_negative = *p == '-';
    int magnitude = 0;
    for (++p; p < sci_end; ++p) magnitude = magnitude * 10 + (*p - '0');
    const int exponent = exponent_negative ? -magnitude : magnitude;

    // The longest form has 25 bytes.
    char* w = text;
    if (negative) *w++ = '-';
    if (exponent >= -5 && exponent <= 15) {
        if (exponent < 0) {
            *w++ = '0';
            *w++ = '.';
            for (int i = 0; i < -exponent - 1; ++i) *w++ = '0';
            w = std::copy(digits, digits + count, w);
        } else if (exponent < count - 1) {
            w = std::copy(digits, digits + exponent + 1, w);
            *w++ = '.';
            w = std::copy(digits + exponent + 1, digits + count, w);
        } else {
            w = std::copy(digits, digits + count, w);
            for (int i = count; i <= exponent; ++i) *w++ = '0';
            *w++ = '.';
            *w++ = '0';
        }
    } else {
        *w++ = digits[0];
        if (count > 1) {
            *w++ = '.';
            w = std::copy(digits + 1, digits + count, w);
        }
        *w++ = 'e';
        *w++ = exponent_negative ? '-' : '+';
        w = std::to_chars(w, text + kFloatTextCapacity, magnitude).ptr;
    }
    return w;
}

}  // namespace detail

}  // namespace vorn::json
