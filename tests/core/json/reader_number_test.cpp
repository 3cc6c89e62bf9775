// Number kinds and float values as the reader produces them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <string>

#include "core/json/cursor.hpp"
#include "core/json/reader.hpp"
#include "tests/core/json/join_text.hpp"

namespace vorn::json {
namespace {

Value read_single(const std::string& text) {
    static std::vector<Document> keep;  // strings of the tree point into documents kept here
    Result<Document> result = read_document(text);
    EXPECT_TRUE(result.ok()) << text << ": " << (result.ok() ? "" : result.error().message);
    if (!result.ok()) return Value::null();
    keep.push_back(std::move(result).value());
    return keep.back().root();
}

struct IntegerCase {
    std::string text;
    Kind kind;
    std::uint64_t unsigned_value;
    std::int64_t negative_value;
};

class IntegerKinds : public testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerKinds, KindAndValue) {
    const IntegerCase& c = GetParam();
    Value v = read_single(c.text);
    ASSERT_EQ(v.kind(), c.kind) << c.text;
    if (c.kind == Kind::Unsigned) {
        EXPECT_EQ(v.as_unsigned(), c.unsigned_value);
    } else {
        EXPECT_EQ(v.as_negative(), c.negative_value);
    }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, IntegerKinds, testing::Values(
    IntegerCase{"0", Kind::Unsigned, 0, 0},
    IntegerCase{"7", Kind::Unsigned, 7, 0},
    IntegerCase{"9223372036854775807", Kind::Unsigned, 9223372036854775807ULL, 0},
    IntegerCase{"9223372036854775808", Kind::Unsigned, 9223372036854775808ULL, 0},
    IntegerCase{"9999999999999999999", Kind::Unsigned, 9999999999999999999ULL, 0},
    IntegerCase{"10000000000000000000", Kind::Unsigned, 10000000000000000000ULL, 0},
    IntegerCase{"18446744073709551615", Kind::Unsigned, 18446744073709551615ULL, 0},
    IntegerCase{"-1", Kind::Negative, 0, -1},
    IntegerCase{"-9223372036854775807", Kind::Negative, 0, -9223372036854775807LL},
    IntegerCase{"-9223372036854775808", Kind::Negative, 0, std::numeric_limits<std::int64_t>::min()}));

struct FloatCase {
    std::string text;
    double value;  // compared bit for bit, so the sign of zero counts
};

class FloatValues : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatValues, BitIdentical) {
    const FloatCase& c = GetParam();
    Value v = read_single(c.text);
    ASSERT_EQ(v.kind(), Kind::Float) << c.text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(v.as_float()), std::bit_cast<std::uint64_t>(c.value))
        << c.text << " read as " << v.as_float();
}

INSTANTIATE_TEST_SUITE_P(Kinds, FloatValues, testing::Values(
    FloatCase{"-0", -0.0},
    FloatCase{"-0.0", -0.0},
    FloatCase{"0.0", 0.0},
    FloatCase{"1.0", 1.0},
    FloatCase{"1e3", 1000.0},
    FloatCase{"1E3", 1000.0},
    FloatCase{"1e+3", 1000.0},
    FloatCase{"1e-3", 0.001},
    FloatCase{"60000.0", 60000.0},
    FloatCase{"-2.5", -2.5},
    FloatCase{"0.1", 0.1},
    FloatCase{"123.456e-2", 1.23456},
    FloatCase{"18446744073709551616", 18446744073709551616.0},
    FloatCase{"-9223372036854775809", -9223372036854775808.0},
    FloatCase{"-18446744073709551616", -18446744073709551616.0}));

INSTANTIATE_TEST_SUITE_P(Extremes, FloatValues, testing::Values(
    FloatCase{"1e-400", 0.0},
    FloatCase{"-1e-400", -0.0},
    FloatCase{"0e400", 0.0},
    FloatCase{"0.000e99999999999", 0.0},
    FloatCase{"1e-99999999999", 0.0},
    FloatCase{"-1e-99999999999", -0.0},
    FloatCase{"5e-324", 5e-324},
    FloatCase{"1e308", 1e308},
    FloatCase{"1.7976931348623157e308", 1.7976931348623157e308},
    FloatCase{"2.2250738585072014e-308", 2.2250738585072014e-308}));

// The value follows the defined algorithm (significand times or divided by the nearest double
// of a power of ten), which is not always the correctly rounded decimal conversion.
INSTANTIATE_TEST_SUITE_P(Algorithm, FloatValues, testing::Values(
    // More than twenty significant digits: only those that fit 64 bits count; further
    // integer digits scale by ten, further fraction digits are dropped.
    FloatCase{"123456789012345678901234", 12345678901234567890.0 * 1e4},
    FloatCase{"0.12345678901234567890123", 12345678901234567890.0 / 1e20},
    FloatCase{"1844674407370955161.69999", static_cast<double>(1844674407370955161ULL)},
    FloatCase{"1.000000000000000000000000001", 1.0},
    // Correct rounding would give 1.699387672075987e+193 and 5.470832125744233e-100.
    FloatCase{"16993876720759869e177", 1.6993876720759867e+193},
    FloatCase{"54708321257442332e-116", 5.470832125744234e-100},
    // Below 1e-308 the value is divided by 1e308 first.
    FloatCase{"4408480350015892e-308", 4.4084803500158917e-293}));

TEST(FloatValues, ReadFloatsAreAlwaysFinite) {
    for (const char* text : {"1e308", "1.7976931348623157e308", "-1.7976931348623157e308"}) {
        Value v = read_single(text);
        EXPECT_TRUE(std::isfinite(v.as_float())) << text;
    }
    for (const char* text : {"1.7976931348623159e308", "2e308", "-2e308"}) {
        Result<Document> result = read_document(text);
        ASSERT_FALSE(result.ok()) << text;
        EXPECT_EQ(result.error().message.rfind("number out of range", 0), 0u) << result.error().message;
    }
}

}  // namespace
}  // namespace vorn::json

namespace vorn::json {
namespace {

// Digits are gathered in 8-byte runs when enough text follows and byte by byte near the end
// of the text: both ways must give the same number for every length and split point.
TEST(NumberDigits, SameValueWhateverFollows) {
    const std::string digits = "98765432109876543210987654";
    for (std::size_t int_len = 1; int_len <= digits.size(); ++int_len) {
        for (std::size_t frac_len = 0; frac_len <= 20; frac_len += (frac_len < 12 ? 1 : 4)) {
            std::string number = digits.substr(0, int_len);
            if (frac_len) number = testing_text::cat(number, ".", digits.substr(digits.size() - frac_len));
            Value at_end = read_single(number);
            Value padded = read_single(testing_text::cat(number, "                "));
            Value in_list = read_single(testing_text::cat("[", number, ",1]")).as_array()[0];
            ASSERT_EQ(at_end.kind(), padded.kind()) << number;
            ASSERT_EQ(at_end.kind(), in_list.kind()) << number;
            if (at_end.kind() == Kind::Unsigned) {
                EXPECT_EQ(at_end.as_unsigned(), std::stoull(number)) << number;
                EXPECT_EQ(padded.as_unsigned(), at_end.as_unsigned()) << number;
                EXPECT_EQ(in_list.as_unsigned(), at_end.as_unsigned()) << number;
            } else {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(padded.as_float()), std::bit_cast<std::uint64_t>(at_end.as_float())) << number;
                EXPECT_EQ(std::bit_cast<std::uint64_t>(in_list.as_float()), std::bit_cast<std::uint64_t>(at_end.as_float())) << number;
            }
        }
    }
}

TEST(NumberDigits, ShortDecimalsAreTheSignificandDividedByAPowerOfTen) {
    struct Case { const char* text; double value; };
    for (Case c : {Case{"61800.20", 6180020.0 / 100.0}, Case{"0.004", 4.0 / 1000.0},
                   Case{"0.00010000", 10000.0 / 1e8}, Case{"12345678.12345678", 1234567812345678.0 / 1e8},
                   Case{"1723161300000.5", 17231613000005.0 / 10.0}}) {
        std::string padded = testing_text::cat(c.text, ",        ");
        Cursor cursor(padded);
        Value v;
        ASSERT_TRUE(cursor.read_number(v)) << c.text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(v.as_float()), std::bit_cast<std::uint64_t>(c.value)) << c.text;
        EXPECT_EQ(cursor.offset(), std::strlen(c.text));
    }
}

}  // namespace
}  // namespace vorn::json
