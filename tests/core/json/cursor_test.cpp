// The lexical layer as the direct reader uses it: skipping values, walking members, offsets.
#include <gtest/gtest.h>

#include <string>

#include "core/json/cursor.hpp"

namespace vorn::json {
namespace {

std::string nested_arrays(int levels) {
    std::string text(static_cast<std::size_t>(levels), '[');
    text.append(static_cast<std::size_t>(levels), ']');
    return text;
}

// Objects and arrays alternating `levels` deep (an even count, innermost an array), each
// closed by its own bracket, or with `wrong_closer` ending the innermost object instead.
std::string alternating(int levels, bool wrong_closer = false) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += (i % 2 == 0) ? "{\"a\":" : "[";
    text += "1";
    for (int i = levels - 1; i >= 0; --i) {
        bool innermost_object = i == levels - 2;
        text += (i % 2 == 1) ? "]" : (wrong_closer && innermost_object ? "]" : "}");
    }
    return text;
}

// Two nested runs side by side inside one array.
std::string two_nested_in_list(int first, int second) {
    std::string text = "[";
    text += nested_arrays(first);
    text += ',';
    text += nested_arrays(second);
    text += ']';
    return text;
}

struct SkipCase {
    std::string text;
    std::string expected;  // "" when the value is well-formed, else the message with position
};

class SkipValue : public testing::TestWithParam<SkipCase> {};

TEST_P(SkipValue, ChecksWellFormedAtAnyDepth) {
    const SkipCase& c = GetParam();
    Cursor cursor(c.text);
    bool ok = cursor.skip_value();
    if (c.expected.empty()) {
        ASSERT_TRUE(ok) << cursor.error().message;
        EXPECT_TRUE(cursor.expect_end()) << "skipped only part of " << c.text;
    } else {
        ASSERT_FALSE(ok);
        EXPECT_EQ(cursor.error().message, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, SkipValue, testing::Values(
    SkipCase{"1", ""},
    SkipCase{" \"a\\u00e9\" ", ""},
    SkipCase{R"({"a":[1,{"b":null}],"c":{}})", ""},
    SkipCase{nested_arrays(200), ""},
    SkipCase{nested_arrays(100000), ""},
    SkipCase{two_nested_in_list(300, 3), ""},
    // Container kinds are tracked past 64 and 128 levels.
    SkipCase{alternating(300), ""},
    // 100 objects of 5 bytes and 100 arrays open, then "1]" and the wrong "]" at byte 603.
    SkipCase{alternating(200, true), "expected `,` or `}` at line 1 column 603"},
    SkipCase{"", "EOF while parsing a value at line 1 column 0"},
    SkipCase{std::string(100000, '['), "EOF while parsing a list at line 1 column 100000"},
    SkipCase{"[1,]", "trailing comma at line 1 column 4"},
    SkipCase{R"({"a" 1})", "expected `:` at line 1 column 6"},
    SkipCase{R"({"a":1,})", "trailing comma at line 1 column 8"},
    SkipCase{"[01]", "invalid number at line 1 column 3"},
    SkipCase{"[\"\\ud800\"]", "unexpected end of hex escape at line 1 column 9"},
    SkipCase{"[tru]", "expected ident at line 1 column 5"}));

TEST(SkipValue, StopsRightAfterTheValue) {
    Cursor cursor(R"([[1,2],{"a":3}] , 4)");
    ASSERT_TRUE(cursor.skip_value());
    EXPECT_EQ(cursor.offset(), 15u);
    EXPECT_EQ(cursor.peek(), ',');
}

struct CountedCase {
    int open_depth;
    int levels;
    bool ok;
};

class SkipCounted : public testing::TestWithParam<CountedCase> {};

TEST_P(SkipCounted, CountsOnTopOfOpenContainers) {
    const CountedCase& c = GetParam();
    std::string text = nested_arrays(c.levels);
    Cursor cursor(text);
    bool ok = cursor.skip_value(c.open_depth);
    EXPECT_EQ(ok, c.ok);
    if (!c.ok) {
        std::size_t column = static_cast<std::size_t>(kMaxDepth - c.open_depth + 1);
        EXPECT_EQ(cursor.error().message, "recursion limit exceeded at line 1 column " + std::to_string(column));
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, SkipCounted, testing::Values(
    CountedCase{0, 127, true}, CountedCase{0, 128, false}, CountedCase{3, 124, true},
    CountedCase{3, 125, false}, CountedCase{126, 1, true}, CountedCase{127, 1, false},
    CountedCase{126, 2, false}, CountedCase{3, 200, false}));

TEST(SkipCounted, ScalarNeedsNoLevel) {
    Cursor cursor("5");
    EXPECT_TRUE(cursor.skip_value(kMaxDepth));
}

TEST(Cursor, WalksAnObjectWithOffsetsForRecordFailures) {
    std::string text = "{\"a\" : [1] ,\n \"b\\u0063\":true}";
    Cursor cursor(text);
    std::string scratch;
    int depth = 0;
    ASSERT_EQ(cursor.peek(), '{');
    ASSERT_TRUE(cursor.enter(depth));
    EXPECT_EQ(depth, 1);

    std::string_view key;
    std::size_t key_end = 0;
    ASSERT_EQ(cursor.object_next(true, key, scratch, key_end), Cursor::Step::Item);
    EXPECT_EQ(key, "a");
    EXPECT_EQ(key_end, 4u);
    // Before the opening bracket: where a type failure on an array is placed.
    EXPECT_EQ(cursor.peek(), '[');
    EXPECT_EQ(cursor.error_at("invalid type: sequence, expected f64", cursor.offset()).message,
              "invalid type: sequence, expected f64 at line 1 column 7");
    ASSERT_TRUE(cursor.skip_value(depth));

    ASSERT_EQ(cursor.object_next(false, key, scratch), Cursor::Step::Item);
    EXPECT_EQ(key, "bc");
    Value value;
    ASSERT_TRUE(cursor.read_scalar(value, scratch));
    EXPECT_TRUE(value.as_bool());
    // After the value: where a type failure on a scalar is placed.
    EXPECT_EQ(cursor.position(cursor.offset()), " at line 2 column 15");

    ASSERT_EQ(cursor.object_next(false, key, scratch), Cursor::Step::End);
    Cursor::leave(depth);
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(cursor.offset(), text.size());
    EXPECT_TRUE(cursor.expect_end());
}

TEST(Cursor, SeekRereadsAHeldValue) {
    std::string text = R"(["x",{"k":[1,2]},7])";
    Cursor cursor(text);
    ASSERT_EQ(cursor.peek(), '[');
    int depth = 0;
    ASSERT_TRUE(cursor.enter(depth));
    ASSERT_EQ(cursor.array_next(true), Cursor::Step::Item);
    std::string scratch;
    Value value;
    ASSERT_TRUE(cursor.read_scalar(value, scratch));
    ASSERT_EQ(cursor.array_next(false), Cursor::Step::Item);
    std::size_t held = cursor.offset();
    ASSERT_TRUE(cursor.skip_value(depth));
    ASSERT_EQ(cursor.array_next(false), Cursor::Step::Item);
    ASSERT_TRUE(cursor.read_scalar(value, scratch));
    EXPECT_EQ(value.as_unsigned(), 7u);

    cursor.seek(held);
    EXPECT_EQ(cursor.peek(), '{');
    ASSERT_TRUE(cursor.enter(depth));
    std::string_view key;
    ASSERT_EQ(cursor.object_next(true, key, scratch), Cursor::Step::Item);
    EXPECT_EQ(key, "k");
}

TEST(Cursor, ReadScalarRefusesContainers) {
    for (const char* text : {"[1]", "{}"}) {
        Cursor cursor(text);
        std::string scratch;
        Value value;
        EXPECT_FALSE(cursor.read_scalar(value, scratch));
        EXPECT_EQ(cursor.error().message, "expected value at line 1 column 1");
    }
}

TEST(Cursor, EnterFailsBeyondTheLimit) {
    Cursor cursor("[[");
    int depth = kMaxDepth - 1;
    ASSERT_TRUE(cursor.enter(depth));
    EXPECT_EQ(depth, kMaxDepth);
    EXPECT_FALSE(cursor.enter(depth));
    EXPECT_EQ(cursor.error().message, "recursion limit exceeded at line 1 column 2");
}

struct PositionCase {
    std::string text;
    std::size_t offset;
    std::string expected;
};

class Positions : public testing::TestWithParam<PositionCase> {};

TEST_P(Positions, LineFeedsStartLinesColumnsCountBytes) {
    const PositionCase& c = GetParam();
    EXPECT_EQ(position_text(c.text, c.offset), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, Positions, testing::Values(
    PositionCase{"", 0, " at line 1 column 0"},
    PositionCase{"abc", 3, " at line 1 column 3"},
    PositionCase{"a\nb", 2, " at line 2 column 0"},
    PositionCase{"a\nb", 3, " at line 2 column 1"},
    PositionCase{"a\r\nb", 2, " at line 1 column 2"},
    PositionCase{"\n\n\n", 3, " at line 4 column 0"},
    PositionCase{"\xC3\xA9x", 3, " at line 1 column 3"}));

}  // namespace
}  // namespace vorn::json
