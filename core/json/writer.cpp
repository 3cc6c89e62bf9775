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

void write_float(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    if (value == 0.0) {
        out.append(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
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

    // Laid out in a local buffer and appended once; the longest form has 25 bytes.
    char text[32];
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
        w = std::to_chars(w, text + sizeof text, magnitude).ptr;
    }
    out.append(text, static_cast<std::size_t>(w - text));
}

}  // namespace vorn::json
