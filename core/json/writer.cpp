// placeholder until the writers land
#include "core/json/writer.hpp"
#include <charconv>
namespace vorn::json {
void write_string(std::string& out, std::string_view text) { out += '"'; out += text; out += '"'; }
void write_int(std::string& out, std::int64_t v) { out += std::to_string(v); }
void write_uint(std::string& out, std::uint64_t v) { out += std::to_string(v); }
void write_float(std::string& out, double v) { char b[64]; auto r = std::to_chars(b, b + 64, v); out.append(b, r.ptr); }
}
