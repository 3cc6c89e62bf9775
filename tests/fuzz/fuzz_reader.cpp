// The generic reader on arbitrary bytes: it either reads a tree whose objects hold unique keys in
// ascending byte order, or fails with a positioned message. Reading with kept root keys (as
// commands do) fails the same way, and stores the same kept members.
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/fuzz/fuzz_checks.hpp"

namespace {

void check_tree(const vorn::json::Value& root) {
    // Walk without recursion: the tree may be 127 levels deep.
    std::vector<vorn::json::Value> stack{root};
    while (!stack.empty()) {
        vorn::json::Value v = stack.back();
        stack.pop_back();
        if (v.kind() == vorn::json::Kind::Array) {
            for (vorn::json::Value e : v.as_array()) stack.push_back(e);
        } else if (v.kind() == vorn::json::Kind::Object) {
            auto members = v.as_object();
            for (std::size_t i = 0; i < members.size(); ++i) {
                if (i > 0 && !(members[i - 1].key < members[i].key)) vorn::fuzz::fail("object keys not sorted and unique", members[i].key);
                stack.push_back(members[i].value);
            }
        } else if (v.kind() == vorn::json::Kind::Negative && v.as_negative() >= 0) {
            vorn::fuzz::fail("negative integer that is not negative", "");
        }
    }
}

bool same_tree(const vorn::json::Value& a, const vorn::json::Value& b) {
    std::vector<std::pair<vorn::json::Value, vorn::json::Value>> stack{{a, b}};
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        if (x.kind() != y.kind()) return false;
        switch (x.kind()) {
            case vorn::json::Kind::Null: break;
            case vorn::json::Kind::Bool: if (x.as_bool() != y.as_bool()) return false; break;
            case vorn::json::Kind::Unsigned: if (x.as_unsigned() != y.as_unsigned()) return false; break;
            case vorn::json::Kind::Negative: if (x.as_negative() != y.as_negative()) return false; break;
            case vorn::json::Kind::Float:
                if (std::bit_cast<std::uint64_t>(x.as_float()) != std::bit_cast<std::uint64_t>(y.as_float())) return false;
                break;
            case vorn::json::Kind::String: if (x.as_string() != y.as_string()) return false; break;
            case vorn::json::Kind::Array: {
                auto xs = x.as_array();
                auto ys = y.as_array();
                if (xs.size() != ys.size()) return false;
                for (std::size_t i = 0; i < xs.size(); ++i) stack.emplace_back(xs[i], ys[i]);
                break;
            }
            case vorn::json::Kind::Object: {
                auto xs = x.as_object();
                auto ys = y.as_object();
                if (xs.size() != ys.size()) return false;
                for (std::size_t i = 0; i < xs.size(); ++i) {
                    if (xs[i].key != ys[i].key) return false;
                    stack.emplace_back(xs[i].value, ys[i].value);
                }
                break;
            }
        }
    }
    return true;
}

void check_kept_root_keys(std::string_view text, const vorn::Result<vorn::json::Document>& full) {
    constexpr std::string_view kept[] = {"", "a", "cmd"};
    auto doc = vorn::json::read_document(text, kept);
    if (doc.ok() != full.ok()) vorn::fuzz::fail("kept root keys change whether the text reads", text);
    if (!doc) {
        if (doc.error().message != full.error().message) vorn::fuzz::fail("kept root keys change the failure", doc.error().message);
        return;
    }
    const vorn::json::Value& root = full->root();
    if (root.kind() != vorn::json::Kind::Object) {
        if (!doc->root().is_null()) vorn::fuzz::fail("a root that is not an object is stored", text);
        return;
    }
    std::size_t found = 0;
    for (std::string_view key : kept) {
        std::optional<vorn::json::Value> want = root.find(key);
        std::optional<vorn::json::Value> got = doc->root().find(key);
        if (want.has_value() != got.has_value() || (want && !same_tree(*want, *got))) {
            vorn::fuzz::fail("a kept member differs", key);
        }
        found += want.has_value();
    }
    if (doc->root().as_object().size() != found) vorn::fuzz::fail("an unkept member is stored", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto doc = vorn::json::read_document(text);
    check_kept_root_keys(text, doc);
    if (doc) {
        check_tree(doc->root());
    } else {
        if (doc.error().kind != vorn::ErrorKind::Parse) vorn::fuzz::fail("reader error kind", doc.error().message);
        if (!vorn::fuzz::ends_with_position(doc.error().message)) vorn::fuzz::fail("reader error without position", doc.error().message);
    }
    return 0;
}
