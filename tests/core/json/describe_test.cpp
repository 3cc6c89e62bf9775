// How record-level failures name the value they found.
#include <gtest/gtest.h>

#include <string>

#include "core/json/describe.hpp"
#include "core/json/reader.hpp"

namespace vorn::json {
namespace {

struct DescribeCase {
    std::string text;  // one JSON value
    std::string expected;
};

class Describe : public testing::TestWithParam<DescribeCase> {};

TEST_P(Describe, FoundValueText) {
    Result<Document> doc = read_document(GetParam().text);
    ASSERT_TRUE(doc.ok()) << doc.error().message;
    EXPECT_EQ(describe_value(doc->root()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, Describe, testing::Values(
    DescribeCase{"null", "null"},
    DescribeCase{"true", "boolean `true`"},
    DescribeCase{"false", "boolean `false`"},
    DescribeCase{"5", "integer `5`"},
    DescribeCase{"9223372036854775808", "integer `9223372036854775808`"},
    DescribeCase{"18446744073709551615", "integer `18446744073709551615`"},
    DescribeCase{"-1", "integer `-1`"},
    DescribeCase{"-9223372036854775808", "integer `-9223372036854775808`"},
    DescribeCase{"60000.0", "floating point `60000.0`"},
    DescribeCase{"-0", "floating point `-0.0`"},
    DescribeCase{"18446744073709551616", "floating point `1.8446744073709552e+19`"},
    DescribeCase{"1e16", "floating point `1e+16`"},
    DescribeCase{"0.5", "floating point `0.5`"},
    DescribeCase{R"("heatmap")", R"(string "heatmap")"},
    DescribeCase{R"("")", R"(string "")"},
    DescribeCase{R"("a\"b\\c")", R"(string "a\"b\\c")"},
    DescribeCase{R"("tab\there\u0001")", R"(string "tab\there\u0001")"},
    DescribeCase{"\"\xC3\xA9/\"", "string \"\xC3\xA9/\""},
    DescribeCase{"[1,2]", "sequence"},
    DescribeCase{"[]", "sequence"},
    DescribeCase{"{\"a\":1}", "map"}));

}  // namespace
}  // namespace vorn::json
