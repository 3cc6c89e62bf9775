#pragma once
// Spelling of single JSON values in replies: compact, no white space.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::json {

// A double-quoted string; only '"', '\\' and bytes below 0x20 are escaped.
void write_string(std::string& out, std::string_view text);
void write_int(std::string& out, std::int64_t value);
void write_uint(std::string& out, std::uint64_t value);
// Shortest round-trip digits laid out with ".0" or an exponent; non-finite values as null.
void write_float(std::string& out, double value);

// Room that format_float needs at `text`: the longest float text has 25 bytes.
inline constexpr std::size_t kFloatTextCapacity = 32;
// write_float's text into the scratch area `text` (kFloatTextCapacity bytes); returns its end.
char* format_float(char* text, double value);

namespace detail {
// format_float without its fast path for whole multiples of 1e-8; the two agree on every value.
char* format_float_general(char* text, double value);
}  // namespace detail

}  // namespace vorn::json
