// Every failure of the generic reader, with its message and position.
#include <gtest/gtest.h>

#include <string>

#include "core/json/reader.hpp"

using namespace std::string_literals;

namespace vorn::json {
namespace {

struct FailureCase {
    std::string text;
    std::string expected;  // message followed by its position
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class ReaderFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ReaderFailure, ReportsMessageAndPosition) {
    const FailureCase& c = GetParam();
    Result<Document> result = read_document(c.text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::Parse);
    EXPECT_EQ(result.error().message, c.expected);
}

INSTANTIATE_TEST_SUITE_P(EndOfText, ReaderFailure, testing::Values(
    FailureCase{"", "EOF while parsing a value at line 1 column 0"},
    FailureCase{"   ", "EOF while parsing a value at line 1 column 3"},
    FailureCase{"[", "EOF while parsing a list at line 1 column 1"},
    FailureCase{"[1", "EOF while parsing a list at line 1 column 2"},
    FailureCase{"[1 ", "EOF while parsing a list at line 1 column 3"},
    FailureCase{"[1,", "EOF while parsing a value at line 1 column 3"},
    FailureCase{"[[]", "EOF while parsing a list at line 1 column 3"},
    FailureCase{"{", "EOF while parsing an object at line 1 column 1"},
    FailureCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
    FailureCase{"{\"a\" ", "EOF while parsing an object at line 1 column 5"},
    FailureCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
    FailureCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
    FailureCase{"{\"a\":{}", "EOF while parsing an object at line 1 column 7"},
    FailureCase{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
    FailureCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
    FailureCase{"{\"ab", "EOF while parsing a string at line 1 column 4"},
    FailureCase{"\"a\\", "EOF while parsing a string at line 1 column 3"},
    FailureCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
    // Fewer than four bytes after \u is the end of the string even when one is not hex.
    FailureCase{"\"\\u1x", "EOF while parsing a string at line 1 column 5"},
    FailureCase{"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
    FailureCase{"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
    FailureCase{"\"\\ud800\\u", "EOF while parsing a string at line 1 column 9"},
    FailureCase{"\"\\ud800\\udc0", "EOF while parsing a string at line 1 column 12"},
    FailureCase{"\"\\n", "EOF while parsing a string at line 1 column 3"},
    FailureCase{"-", "EOF while parsing a value at line 1 column 1"},
    FailureCase{"1.", "EOF while parsing a value at line 1 column 2"},
    FailureCase{"[1.", "EOF while parsing a value at line 1 column 3"},
    FailureCase{"1e", "EOF while parsing a value at line 1 column 2"},
    FailureCase{"1e-", "EOF while parsing a value at line 1 column 3"},
    FailureCase{"nul", "EOF while parsing a value at line 1 column 3"},
    FailureCase{"[tr", "EOF while parsing a value at line 1 column 3"},
    FailureCase{"fals", "EOF while parsing a value at line 1 column 4"}));

INSTANTIATE_TEST_SUITE_P(Grammar, ReaderFailure, testing::Values(
    FailureCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
    FailureCase{"{\"a\",1}", "expected `:` at line 1 column 5"},
    FailureCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
    FailureCase{"[1}", "expected `,` or `]` at line 1 column 3"},
    FailureCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
    FailureCase{"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
    FailureCase{"nulx", "expected ident at line 1 column 4"},
    FailureCase{"tRue", "expected ident at line 1 column 2"},
    FailureCase{"[falsy]", "expected ident at line 1 column 6"},
    FailureCase{"nil", "expected ident at line 1 column 2"},
    FailureCase{"x", "expected value at line 1 column 1"},
    FailureCase{"[x]", "expected value at line 1 column 2"},
    FailureCase{"{\"a\":}", "expected value at line 1 column 6"},
    FailureCase{"+1", "expected value at line 1 column 1"},
    FailureCase{".5", "expected value at line 1 column 1"},
    FailureCase{"'a'", "expected value at line 1 column 1"},
    FailureCase{"NaN", "expected value at line 1 column 1"},
    FailureCase{"Infinity", "expected value at line 1 column 1"},
    FailureCase{"]", "expected value at line 1 column 1"},
    FailureCase{"[,1]", "expected value at line 1 column 2"},
    FailureCase{"/* c */ 1", "expected value at line 1 column 1"},
    FailureCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
    FailureCase{"\f1", "expected value at line 1 column 1"},
    FailureCase{"{1:2}", "key must be a string at line 1 column 2"},
    FailureCase{"{a:2}", "key must be a string at line 1 column 2"},
    FailureCase{"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
    FailureCase{"[1,]", "trailing comma at line 1 column 4"},
    FailureCase{"[1, ]", "trailing comma at line 1 column 5"},
    FailureCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
    FailureCase{"1 2", "trailing characters at line 1 column 3"},
    FailureCase{"{\"cmd\":\"version\"}x", "trailing characters at line 1 column 18"},
    FailureCase{"[]]", "trailing characters at line 1 column 3"},
    FailureCase{"{} {}", "trailing characters at line 1 column 4"},
    FailureCase{"nullnull", "trailing characters at line 1 column 5"},
    FailureCase{"1x", "trailing characters at line 1 column 2"},
    FailureCase{"\"a\"\"b\"", "trailing characters at line 1 column 4"},
    FailureCase{"0\0"s, "trailing characters at line 1 column 2"}));

INSTANTIATE_TEST_SUITE_P(Numbers, ReaderFailure, testing::Values(
    FailureCase{"01", "invalid number at line 1 column 2"},
    FailureCase{"-01", "invalid number at line 1 column 3"},
    FailureCase{"00", "invalid number at line 1 column 2"},
    FailureCase{"-a", "invalid number at line 1 column 2"},
    FailureCase{"-.5", "invalid number at line 1 column 2"},
    FailureCase{"[- 1]", "invalid number at line 1 column 3"},
    FailureCase{"1.a", "invalid number at line 1 column 3"},
    FailureCase{"1.e5", "invalid number at line 1 column 3"},
    FailureCase{"1ea", "invalid number at line 1 column 3"},
    FailureCase{"1e+a", "invalid number at line 1 column 4"},
    FailureCase{"1e+-1", "invalid number at line 1 column 4"},
    FailureCase{"1e309", "number out of range at line 1 column 5"},
    FailureCase{"-1e309", "number out of range at line 1 column 6"},
    FailureCase{"[2.5e308]", "number out of range at line 1 column 8"},
    FailureCase{"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
    FailureCase{"1" + std::string(400, '0') + ".5", "number out of range at line 1 column 403"},
    // An exponent too large to count fails at the digit that overflows the count.
    FailureCase{"1e99999999999", "number out of range at line 1 column 12"},
    FailureCase{"[1e2147483647]", "number out of range at line 1 column 13"}));

INSTANTIATE_TEST_SUITE_P(Strings, ReaderFailure, testing::Values(
    FailureCase{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
    FailureCase{"\"\0\""s, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
    FailureCase{"\"\x1F\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
    FailureCase{"\"a\\n\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
    FailureCase{"{\"k\x01\":1}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
    FailureCase{"\"\\x\"", "invalid escape at line 1 column 3"},
    FailureCase{"\"\\U0041\"", "invalid escape at line 1 column 3"},
    FailureCase{"\"\\'\"", "invalid escape at line 1 column 3"},
    FailureCase{"\"\\u12x4\"", "invalid escape at line 1 column 6"},
    FailureCase{"\"\\u-123\"", "invalid escape at line 1 column 4"},
    FailureCase{"\"\\ud800\\u12\"]", "invalid escape at line 1 column 12"},
    FailureCase{"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
    FailureCase{"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
    FailureCase{"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
    FailureCase{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
    FailureCase{"\"\\uDFFF\"", "lone leading surrogate in hex escape at line 1 column 7"},
    FailureCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
    FailureCase{"\"\\udbff\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
    FailureCase{"\"\\ud800\\ue000\"", "lone leading surrogate in hex escape at line 1 column 13"}));

INSTANTIATE_TEST_SUITE_P(Positions, ReaderFailure, testing::Values(
    FailureCase{"{\n  a", "key must be a string at line 2 column 3"},
    FailureCase{"{\r\n  a", "key must be a string at line 2 column 3"},
    FailureCase{"\r\r[x]", "expected value at line 1 column 4"},
    FailureCase{"[\n1,\n", "EOF while parsing a value at line 3 column 0"},
    FailureCase{"[1,\n\n\n  2\n  3]", "expected `,` or `]` at line 5 column 3"},
    // Columns count bytes: the two-byte é and the three-byte € add 2 and 3.
    FailureCase{"[\"\xC3\xA9\", x]", "expected value at line 1 column 8"},
    FailureCase{"\n\"\xE2\x82\xAC\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 5"},
    FailureCase{"{\"a\":\n\t1,}", "trailing comma at line 2 column 4"}));

// Members a command does not read are only checked, not stored: wherever a failing text stands,
// the reader with kept root keys fails with the same message at the same place.
TEST_P(ReaderFailure, SameWhenMembersAreOnlyChecked) {
    constexpr std::string_view kept[] = {"cmd"};
    const std::string& text = GetParam().text;
    for (const std::string& wrapped : {text, R"({"x":)" + text + "}", R"({"cmd":)" + text + "}",
                                       R"({"cmd":1,"x":[)" + text + "]}", "[" + text + "]"}) {
        Result<Document> stored = read_document(wrapped);
        Result<Document> checked = read_document(wrapped, kept);
        ASSERT_EQ(stored.ok(), checked.ok()) << wrapped;
        if (!stored.ok()) {
            EXPECT_EQ(checked.error().message, stored.error().message) << wrapped;
        }
    }
}

TEST(ReaderFailure, TextWithoutTerminatorIsReadOnlyWithinItsLength) {
    // The view ends before the closing bracket; nothing beyond it may be read.
    std::string backing = "[1,2]";
    Result<Document> result = read_document(std::string_view(backing).substr(0, 4));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "EOF while parsing a list at line 1 column 4");
}

TEST(ReaderFailure, DisplayTextHasParsePrefix) {
    Result<Document> result = read_document("[1,]");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(), "parse: trailing comma at line 1 column 4");
}

}  // namespace
}  // namespace vorn::json
