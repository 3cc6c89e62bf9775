// Every failure of the generic reader, with its message and position.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json/reader.hpp"
#include "tests/core/support/case_table.hpp"

using namespace std::string_literals;

namespace vorn::json {
namespace {

struct FailureCase {
    std::string group;
    std::string text;
    std::string expected;  // message followed by its position
};

// The table of tests/data/json_reader_failures.tsv, which the Python tests read too.
std::vector<FailureCase> reader_failures() {
    std::vector<FailureCase> cases;
    for (std::vector<std::string>& row : testing_support::read_case_table("json_reader_failures.tsv", 3)) {
        cases.push_back({std::move(row[0]), std::move(row[1]), std::move(row[2])});
    }
    return cases;
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class ReaderFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ReaderFailure, ReportsMessageAndPosition) {
    const FailureCase& c = GetParam();
    Result<Document> result = read_document(c.text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::Parse);
    EXPECT_EQ(result.error().message, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ReaderFailure, testing::ValuesIn(reader_failures()),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return info.param.group + "_" + std::to_string(info.index);
                         });

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
