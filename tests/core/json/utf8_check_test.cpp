#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/json/utf8_check.hpp"

namespace vorn::json {
namespace {

TEST(Utf8Check, FirstIllFormedByte) {
    struct Case {
        std::string text;
        std::optional<std::size_t> at;
    };
    const Case cases[] = {
        {"", std::nullopt},
        {"plain ascii text that is longer than eight bytes", std::nullopt},
        {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", std::nullopt},
        {"abcdefgh\xFF", 8},
        {"ab\xC0\xAF", 2},              // overlong '/'
        {"ab\xE0\x80\xAF", 2},          // overlong three-byte form
        {"x\xED\xA0\x80", 1},           // a surrogate
        {"x\xF4\x90\x80\x80", 1},       // above U+10FFFF
        {"x\xF0\x9F\x98", 1},           // truncated at the end
        {"x\xC3(", 1},                  // a bad continuation byte
        {"\x80", 0},
        {std::string("nul\0ok", 6), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(first_invalid_utf8(c.text), c.at) << c.text;
}

}  // namespace
}  // namespace vorn::json
