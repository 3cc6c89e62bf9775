// A valid document cut short anywhere fails at its end with an end-of-text failure: no prefix of
// a document is mistaken for a whole one, and no cut is reported anywhere but where the text ends.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/json/cursor.hpp"
#include "core/json/reader.hpp"

using namespace std::string_literals;

namespace vorn::json {
namespace {

class CutDocument : public testing::TestWithParam<std::string> {};

TEST_P(CutDocument, FailsAtTheEndWithEndOfText) {
    const std::string& text = GetParam();
    ASSERT_TRUE(read_document(text).ok()) << text;
    // Cutting only white space after the value leaves a whole document.
    std::size_t last = text.find_last_not_of(" \t\r\n");
    for (std::size_t length = 0; length <= last; ++length) {
        std::string_view prefix(text.data(), length);
        Result<Document> result = read_document(prefix);
        ASSERT_FALSE(result.ok()) << "a prefix read as a whole document: " << prefix;
        const std::string& message = result.error().message;
        EXPECT_EQ(message.rfind("EOF while parsing ", 0), 0u) << prefix << " -> " << message;
        EXPECT_TRUE(message.ends_with(position_text(prefix, length))) << prefix << " -> " << message;
    }
}

INSTANTIATE_TEST_SUITE_P(Documents, CutDocument, testing::Values(
    "[]"s, "{}"s, "\"\""s, "\"plain\""s,
    R"("\"\\\/\b\f\n\r\t\u0041\u00e9\ud83d\ude00")"s,
    "[1,-2,3.5e+10,-0.0,1E-5,0.5,-0,12345678901234567890,true,false,null]"s,
    R"({"a":[{"b":"c\n"}],"d":{},"e":[[],[[]]],"a":2})"s,
    " \t\n[ 1 , { \"k\" : \"v\" } , [ ] ]\r\n "s,
    "[[[[[[[[[[\"deep\"]]]]]]]]]]"s,
    R"({"cmd":"load","dataset":{"trades":[[1,100.5,1,"buy"],[2,100.25,0.5,"sell"]]}})"s,
    "[\"\x7F\xC3\xA9\xF0\x9F\x98\x80\"]"s,
    "{\"\xC3\xA9\":true,\"\":null}"s));

}  // namespace
}  // namespace vorn::json
