#pragma once
// Spelling of single JSON values in replies: compact, no white space.
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

}  // namespace vorn::json
