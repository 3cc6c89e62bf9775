// The generic reader on arbitrary bytes: it either reads a tree whose objects hold unique keys in
// ascending byte order, or fails with a positioned message.
#include <cstdint>
#include <string_view>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto doc = vorn::json::read_document(text);
    if (doc) {
        check_tree(doc->root());
    } else {
        if (doc.error().kind != vorn::ErrorKind::Parse) vorn::fuzz::fail("reader error kind", doc.error().message);
        if (!vorn::fuzz::ends_with_position(doc.error().message)) vorn::fuzz::fail("reader error without position", doc.error().message);
    }
    return 0;
}
