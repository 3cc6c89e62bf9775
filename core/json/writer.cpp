#include "core/json/writer.hpp"

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
    char buffer[40];
    std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* p = buffer;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[20];
    int count = 0;
    digits[count++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[count++] = *p;
    }
    ++p;  // 'e'
    int exponent = 0;
    std::from_chars(*p == '+' ? p + 1 : p, r.ptr, exponent);

    if (exponent >= -5 && exponent <= 15) {
        if (exponent < 0) {
            out.append("0.");
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits, static_cast<std::size_t>(count));
        } else if (exponent < count - 1) {
            out.append(digits, static_cast<std::size_t>(exponent + 1));
            out.push_back('.');
            out.append(digits + exponent + 1, static_cast<std::size_t>(count - exponent - 1));
        } else {
            out.append(digits, static_cast<std::size_t>(count));
            out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
            out.append(".0");
        }
        return;
    }
    out.push_back(digits[0]);
    if (count > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<std::size_t>(count - 1));
    }
    out.push_back('e');
    out.push_back(exponent > 0 ? '+' : '-');
    char exp_buffer[8];
    std::to_chars_result e = std::to_chars(exp_buffer, exp_buffer + sizeof exp_buffer, exponent < 0 ? -exponent : exponent);
    out.append(exp_buffer, e.ptr);
}

}  // namespace vorn::json
