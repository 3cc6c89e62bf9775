// Spelling of strings, integers and floats in replies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"

using namespace std::string_literals;

namespace vorn::json {
namespace {

struct FloatLayout {
    double value;
    std::string expected;
};

class WriteFloat : public testing::TestWithParam<FloatLayout> {};

TEST_P(WriteFloat, ShortestDigitsLaidOut) {
    std::string out = "x";
    write_float(out, GetParam().value);
    EXPECT_EQ(out, "x" + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, WriteFloat, testing::Values(
    // Zero and signs.
    FloatLayout{0.0, "0.0"},
    FloatLayout{-0.0, "-0.0"},
    FloatLayout{-1.5, "-1.5"},
    // m below 0, down to -5.
    FloatLayout{0.5, "0.5"},
    FloatLayout{0.1, "0.1"},
    FloatLayout{0.1 + 0.2, "0.30000000000000004"},
    FloatLayout{0.001234, "0.001234"},
    FloatLayout{0.00001, "0.00001"},
    FloatLayout{-0.000012345, "-0.000012345"},
    // m from 0 with digits after the point.
    FloatLayout{12.34, "12.34"},
    FloatLayout{1.5, "1.5"},
    FloatLayout{123456789012345.6, "123456789012345.6"},
    // Whole numbers up to m = 15.
    FloatLayout{1.0, "1.0"},
    FloatLayout{100.0, "100.0"},
    FloatLayout{60000.0, "60000.0"},
    FloatLayout{1e15, "1000000000000000.0"},
    FloatLayout{9007199254740992.0 / 2 + 1, "4503599627370497.0"},
    FloatLayout{1234567890123456.0, "1234567890123456.0"},
    // Exponent form.
    FloatLayout{1e16, "1e+16"},
    FloatLayout{-1e16, "-1e+16"},
    FloatLayout{1.5e16, "1.5e+16"},
    FloatLayout{18446744073709551616.0, "1.8446744073709552e+19"},
    FloatLayout{1.2345678901234568e17, "1.2345678901234568e+17"},
    FloatLayout{0.000001, "1e-6"},
    FloatLayout{1.5e-7, "1.5e-7"},
    FloatLayout{-2.5e-10, "-2.5e-10"},
    FloatLayout{1e100, "1e+100"},
    FloatLayout{5e-324, "5e-324"},
    FloatLayout{2.2250738585072014e-308, "2.2250738585072014e-308"},
    FloatLayout{1.7976931348623157e308, "1.7976931348623157e+308"},
    // Not finite.
    FloatLayout{std::numeric_limits<double>::quiet_NaN(), "null"},
    FloatLayout{-std::numeric_limits<double>::quiet_NaN(), "null"},
    FloatLayout{std::numeric_limits<double>::infinity(), "null"},
    FloatLayout{-std::numeric_limits<double>::infinity(), "null"}));

TEST(WriteFloat, WrittenFloatsReadBackIdentical) {
    // Every layout reads back as the same float (the shortest digits round-trip; for values
    // where the reader's algorithm is exact enough, so does the layout).
    for (double v : {0.1, 1.0, 1e15, 1e16, 1e-6, 0.00001, 3.14159, 1e300, 1e-300, 123.456}) {
        std::string out;
        write_float(out, v);
        Result<Document> doc = read_document(out);
        ASSERT_TRUE(doc.ok()) << out;
        ASSERT_EQ(doc->root().kind(), Kind::Float) << out;
        EXPECT_EQ(doc->root().as_float(), v) << out;
    }
}

// The fast path for whole multiples of 1e-8 must give the general algorithm's text on every
// value, including the ones just outside its range and the ones it has to hand back.
TEST(WriteFloat, FastPathAgreesWithGeneralDigits) {
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    auto agree = [](double v) {
        char fast[kFloatTextCapacity];
        char general[kFloatTextCapacity];
        std::string_view fast_text(fast, static_cast<std::size_t>(format_float(fast, v) - fast));
        std::string_view general_text(general, static_cast<std::size_t>(detail::format_float_general(general, v) - general));
        ASSERT_EQ(fast_text, general_text) << std::hexfloat << v;
    };
    for (int i = 0; i < 400000; ++i) {
        // Eight-decimal values across magnitudes, as the panels produce them.
        double scale = std::pow(10.0, static_cast<int>(next() % 20) - 10);
        double raw = static_cast<double>(next() % 100000000000ull) / 1000.0 * scale;
        double rounded = std::round(raw * 1e8) / 1e8;
        agree(rounded);
        agree(-rounded);
        agree(raw);
        // Arbitrary bit patterns.
        double bits;
        std::uint64_t pattern = next();
        std::memcpy(&bits, &pattern, sizeof bits);
        agree(bits);
    }
    for (double edge : {0.0, 67108864.0, 1e-5, 0.99999999, 9999999.99999999, 67108863.99999999, 1e-8, 5e-9,
                        12345678.12345678, 0.00001234, 0.0000999, 33554432.00000001}) {
        for (int step = -3; step <= 3; ++step) {
            double v = edge;
            for (int k = 0; k < std::abs(step); ++k) v = std::nextafter(v, step < 0 ? 0.0 : 1e300);
            agree(v);
            agree(-v);
        }
    }
}

struct IntCase {
    std::int64_t value;
    std::string expected;
};

class WriteInt : public testing::TestWithParam<IntCase> {};

TEST_P(WriteInt, PlainDecimal) {
    std::string out;
    write_int(out, GetParam().value);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, WriteInt, testing::Values(
    IntCase{0, "0"}, IntCase{-1, "-1"}, IntCase{42, "42"},
    IntCase{std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
    IntCase{std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"}));

TEST(WriteUint, PlainDecimal) {
    for (auto [value, expected] : {std::pair<std::uint64_t, const char*>{0, "0"}, {7, "7"},
                                   {18446744073709551615ULL, "18446744073709551615"}}) {
        std::string out = "[";
        write_uint(out, value);
        EXPECT_EQ(out, std::string("[") + expected);
    }
}

struct StringCase {
    std::string text;
    std::string expected;
};

class WriteString : public testing::TestWithParam<StringCase> {};

TEST_P(WriteString, EscapeTable) {
    std::string out = "{";
    write_string(out, GetParam().text);
    EXPECT_EQ(out, "{" + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Bytes, WriteString, testing::Values(
    StringCase{"", R"("")"},
    StringCase{"plain text", R"("plain text")"},
    StringCase{"\"", R"("\"")"},
    StringCase{"\\", R"("\\")"},
    StringCase{"a\\b", R"("a\\b")"},
    StringCase{"/", R"("/")"},
    StringCase{"\b\t\n\f\r", R"("\b\t\n\f\r")"},
    StringCase{"\0"s, R"("\u0000")"},
    StringCase{"\x01", R"("\u0001")"},
    StringCase{"\x0B", R"("\u000b")"},
    StringCase{"\x0E\x1A\x1F", R"("\u000e\u001a\u001f")"},
    StringCase{"\x7F", "\"\x7F\""},
    StringCase{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
    StringCase{"\"\t\x01\x7F\xC3\xA9", "\"\\\"\\t\\u0001\x7F\xC3\xA9\""},
    StringCase{"unknown cmd: a\"b", R"("unknown cmd: a\"b")"},
    StringCase{"ab\ncd\"ef", R"("ab\ncd\"ef")"}));

TEST(WriteString, EveryControlByte) {
    for (int b = 0; b < 0x20; ++b) {
        std::string out;
        write_string(out, std::string(1, static_cast<char>(b)));
        // Reading the written text gives the byte back.
        Result<Document> doc = read_document(out);
        ASSERT_TRUE(doc.ok()) << out;
        EXPECT_EQ(doc->root().as_string(), std::string(1, static_cast<char>(b))) << out;
        bool short_form = b == 0x08 || b == 0x09 || b == 0x0A || b == 0x0C || b == 0x0D;
        EXPECT_EQ(out.size(), short_form ? 4u : 8u) << out;
    }
}

}  // namespace
}  // namespace vorn::json
