#pragma once
// Properties the fuzz targets assert on every reply; a violation aborts with a message so the
// fuzzer records the input.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/json/reader.hpp"

namespace vorn::fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "property violated: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline bool ends_with_position(std::string_view message) {
    std::size_t at = message.rfind(" at line ");
    if (at == std::string_view::npos) return false;
    std::string_view rest = message.substr(at + 9);
    std::size_t column = rest.find(" column ");
    if (column == 0 || column == std::string_view::npos) return false;
    for (char c : rest.substr(0, column)) if (c < '0' || c > '9') return false;
    std::string_view col = rest.substr(column + 8);
    if (col.empty()) return false;
    for (char c : col) if (c < '0' || c > '9') return false;
    return true;
}

// Every reply is one JSON value that our own reader reads back; an error reply is exactly
// {"ok":false,"error":"<prefix><message>"} with one of the three prefixes.
inline void check_reply(std::string_view reply) {
    if (reply.empty()) fail("empty reply", reply);
    Result<json::Document> doc = json::read_document(reply);
    if (!doc) fail("reply is not JSON", reply);
    const json::Value& root = doc->root();
    if (root.kind() != json::Kind::Object) fail("reply is not an object", reply);
    std::optional<json::Value> ok = root.find("ok");
    if (ok && ok->kind() == json::Kind::Bool && !ok->as_bool()) {
        if (reply.substr(0, 21) != R"({"ok":false,"error":")") fail("error reply layout", reply);
        std::optional<json::Value> error = root.find("error");
        if (root.as_object().size() != 2 || !error || error->kind() != json::Kind::String) {
            fail("error reply members", reply);
        }
        std::string_view text = error->as_string();
        if (!(text.starts_with("parse: ") || text.starts_with("bad spec: ") || text.starts_with("data: "))) {
            fail("error prefix", reply);
        }
    }
}

inline bool is_error_reply(std::string_view reply) { return reply.starts_with(R"({"ok":false,)"); }

}  // namespace vorn::fuzz
