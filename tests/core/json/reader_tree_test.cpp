// The value tree: strings, objects with repeated keys, nesting.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "tests/core/json/join_text.hpp"

using namespace std::string_literals;

namespace vorn::json {
namespace {

using testing_text::cat;

Document read_ok(std::string_view text) {
    Result<Document> result = read_document(text);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
    return result.ok() ? std::move(result).value() : Document();
}

struct StringCase {
    std::string text;
    std::string expected;
};

class StringValues : public testing::TestWithParam<StringCase> {};

TEST_P(StringValues, Unescaped) {
    const StringCase& c = GetParam();
    Document doc = read_ok(c.text);
    ASSERT_EQ(doc.root().kind(), Kind::String);
    EXPECT_EQ(doc.root().as_string(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Escapes, StringValues, testing::Values(
    StringCase{R"("")", ""},
    StringCase{R"("plain")", "plain"},
    StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
    StringCase{R"("a\u0041b")", "aAb"},
    StringCase{R"("\u00e9\u00C9")", "\xC3\xA9\xC3\x89"},
    StringCase{R"("\u20AC")", "\xE2\x82\xAC"},
    StringCase{R"("\u0000")", "\0"s},
    StringCase{R"("x\u0000y")", "x\0y"s},
    StringCase{R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
    StringCase{R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
    StringCase{R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
    StringCase{R"("\t\u0009")", "\t\t"},
    // Bytes of 0x7F and above are taken unchanged.
    StringCase{"\"\x7F\xC3\xA9\xF0\x9F\x98\x80\"", "\x7F\xC3\xA9\xF0\x9F\x98\x80"},
    // Long runs on both sides of an escape (the scan works in 8-byte words).
    StringCase{cat("\"", std::string(37, 'a'), "\\n", std::string(41, 'b'), "\""), cat(std::string(37, 'a'), "\n", std::string(41, 'b'))}));

TEST(StringValues, PlainStringsPointIntoTheText) {
    std::string text = R"(["abc","a\nc"])";
    Document doc = read_ok(text);
    auto elems = doc.root().as_array();
    ASSERT_EQ(elems.size(), 2u);
    EXPECT_EQ(elems[0].as_string().data(), text.data() + 2);
    EXPECT_EQ(elems[1].as_string(), "a\nc");
}

TEST(StringValues, EscapedStringsSurviveLaterEscapedStrings) {
    // Each unescaped string must own its bytes, not share a buffer that the next one reuses.
    Document doc = read_ok(R"({"k\u0031":"v\u0031","k\u0032":["v\u0032","w\u0033"]})");
    auto members = doc.root().as_object();
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].key, "k1");
    EXPECT_EQ(members[0].value.as_string(), "v1");
    EXPECT_EQ(members[1].key, "k2");
    auto list = members[1].value.as_array();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].as_string(), "v2");
    EXPECT_EQ(list[1].as_string(), "w3");
}

std::vector<std::string> keys_of(const Value& object) {
    std::vector<std::string> keys;
    for (const Member& m : object.as_object()) keys.emplace_back(m.key);
    return keys;
}

struct ObjectCase {
    std::string text;
    std::vector<std::string> keys;     // in visiting order
    std::vector<std::uint64_t> values;  // unsigned value of each member
};

class ObjectMembers : public testing::TestWithParam<ObjectCase> {};

TEST_P(ObjectMembers, SortedUniqueLastWins) {
    const ObjectCase& c = GetParam();
    Document doc = read_ok(c.text);
    ASSERT_EQ(doc.root().kind(), Kind::Object);
    EXPECT_EQ(keys_of(doc.root()), c.keys);
    auto members = doc.root().as_object();
    ASSERT_EQ(members.size(), c.values.size());
    for (std::size_t i = 0; i < members.size(); ++i) EXPECT_EQ(members[i].value.as_unsigned(), c.values[i]) << c.keys[i];
}

std::string many_keys_reversed(int n) {
    std::string text = "{";
    for (int i = n - 1; i >= 0; --i) {
        char key[16];
        std::snprintf(key, sizeof key, "k%03d", i);
        text += cat("\"", key, "\":", std::to_string(i), i ? "," : "");
    }
    text += "}";
    return text;
}

ObjectCase many_keys_case(int n) {
    ObjectCase c{many_keys_reversed(n), {}, {}};
    for (int i = 0; i < n; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "k%03d", i);
        c.keys.emplace_back(key);
        c.values.push_back(static_cast<std::uint64_t>(i));
    }
    return c;
}

INSTANTIATE_TEST_SUITE_P(Objects, ObjectMembers, testing::Values(
    ObjectCase{"{}", {}, {}},
    ObjectCase{R"({"b":1,"a":2})", {"a", "b"}, {2, 1}},
    ObjectCase{R"({"a":1,"a":2})", {"a"}, {2}},
    ObjectCase{R"({"a":1,"b":5,"a":2,"a":3})", {"a", "b"}, {3, 5}},
    ObjectCase{R"({"cmd":1,"cmd":2,"ts":3})", {"cmd", "ts"}, {2, 3}},
    // Byte order: upper case before lower case, a prefix before its extensions, UTF-8 last.
    ObjectCase{"{\"b\":1,\"B\":2,\"ab\":3,\"a\":4,\"\xC3\xA9\":5,\"\":6}", {"", "B", "a", "ab", "b", "\xC3\xA9"}, {6, 2, 4, 3, 1, 5}},
    // Keys compare after unescaping: \u006d is 'm'.
    ObjectCase{R"({"cmd":1,"c\u006dd":2})", {"cmd"}, {2}},
    many_keys_case(40),
    // A large object with repeats far apart keeps the last occurrence.
    ObjectCase{cat(many_keys_reversed(30).substr(0, many_keys_reversed(30).size() - 1), R"(,"k029":99,"k000":98})"),
               many_keys_case(30).keys,
               [] { auto v = many_keys_case(30).values; v[0] = 98; v[29] = 99; return v; }()}));

TEST(ObjectMembers, FindUsesTheKeptMember) {
    Document doc = read_ok(R"({"cmd":"version","ts":1,"cmd":"reset"})");
    std::optional<Value> cmd = doc.root().find("cmd");
    ASSERT_TRUE(cmd.has_value());
    EXPECT_EQ(cmd->as_string(), "reset");
    EXPECT_FALSE(doc.root().find("nope").has_value());
}

TEST(Tree, NestedValuesKeepTheirShape) {
    Document doc = read_ok(" { \"z\" : [ 1 , -2 , 3.5 , true , false , null , [ ] , { } , \"s\" ] , \"a\" : { \"y\" : { } } } \r\n\t");
    const Value& root = doc.root();
    ASSERT_EQ(keys_of(root), (std::vector<std::string>{"a", "z"}));
    std::optional<Value> z = root.find("z");
    ASSERT_TRUE(z.has_value());
    auto e = z->as_array();
    ASSERT_EQ(e.size(), 9u);
    EXPECT_EQ(e[0].kind(), Kind::Unsigned);
    EXPECT_EQ(e[1].as_negative(), -2);
    EXPECT_EQ(e[2].as_float(), 3.5);
    EXPECT_TRUE(e[3].as_bool());
    EXPECT_EQ(e[4].kind(), Kind::Bool);
    EXPECT_FALSE(e[4].as_bool());
    EXPECT_TRUE(e[5].is_null());
    EXPECT_EQ(e[6].kind(), Kind::Array);
    EXPECT_TRUE(e[6].as_array().empty());
    EXPECT_EQ(e[7].kind(), Kind::Object);
    EXPECT_TRUE(e[7].as_object().empty());
    EXPECT_EQ(e[8].as_string(), "s");
    std::optional<Value> y = root.find("a")->find("y");
    ASSERT_TRUE(y.has_value());
    EXPECT_EQ(y->kind(), Kind::Object);
}

TEST(Tree, ManyElementsAcrossArenaBlocks) {
    std::string text = "[";
    const int n = 200000;
    for (int i = 0; i < n; ++i) text += cat(i ? ",[" : "[", std::to_string(i), ",\"x\\n\"]");
    text += "]";
    Document doc = read_ok(text);
    auto rows = doc.root().as_array();
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; i += 9973) {
        ASSERT_EQ(rows[i].as_array().size(), 2u);
        EXPECT_EQ(rows[i].as_array()[0].as_unsigned(), static_cast<std::uint64_t>(i));
        EXPECT_EQ(rows[i].as_array()[1].as_string(), "x\n");
    }
}

// The tree written back in canonical form: object members in stored (key) order.
void canonical(const Value& v, std::string& out) {
    switch (v.kind()) {
        case Kind::Null: out += "null"; break;
        case Kind::Bool: out += v.as_bool() ? "true" : "false"; break;
        case Kind::Unsigned: out += "u" + std::to_string(v.as_unsigned()); break;
        case Kind::Negative: out += "n" + std::to_string(v.as_negative()); break;
        case Kind::Float: write_float(out, v.as_float()); break;
        case Kind::String: write_string(out, v.as_string()); break;
        case Kind::Array: {
            out += '[';
            bool first = true;
            for (Value e : v.as_array()) {
                if (!first) out += ',';
                first = false;
                canonical(e, out);
            }
            out += ']';
            break;
        }
        case Kind::Object: {
            out += '{';
            bool first = true;
            for (const Member& m : v.as_object()) {
                if (!first) out += ',';
                first = false;
                write_string(out, m.key);
                out += ':';
                canonical(m.value, out);
            }
            out += '}';
            break;
        }
    }
}

std::string canonical_of(std::string_view text) {
    Document doc = read_ok(text);
    std::string out;
    canonical(doc.root(), out);
    return out;
}

std::string numbered_array(int n) {
    std::string text = "[";
    for (int i = 0; i < n; ++i) text += cat(i ? "," : "", std::to_string(i));
    return text + "]";
}

std::string canonical_numbered(int n) {
    std::string text = "[";
    for (int i = 0; i < n; ++i) text += cat(i ? "," : "", "u", std::to_string(i));
    return text + "]";
}

struct StoredCase {
    std::string name;
    std::string text;
    std::string expected;
};

class StoredTree : public testing::TestWithParam<StoredCase> {};

TEST_P(StoredTree, ReadsBackAsWritten) { EXPECT_EQ(canonical_of(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Layouts, StoredTree, testing::Values(
    // Objects with one key sequence share a layout; each keeps its own values.
    StoredCase{"shared_layout", R"([{"b":1,"a":2},{"b":3,"a":4}])", R"([{"a":u2,"b":u1},{"a":u4,"b":u3}])"},
    // Repeated keys through a shared layout: the last one of each object wins.
    StoredCase{"repeats", R"([{"a":1,"a":2,"b":0},{"a":3,"a":4,"b":5}])", R"([{"a":u2,"b":u0},{"a":u4,"b":u5}])"},
    StoredCase{"other_order", R"([{"a":1,"b":2},{"b":3,"a":4}])", R"([{"a":u1,"b":u2},{"a":u4,"b":u3}])"},
    // An escaped key is the same key as its plain spelling.
    StoredCase{"escaped_key", R"([{"a":1},{"\u0061":2,"a":3},{"a":4,"\u0061":5},{"\u0061":6}])",
               R"([{"a":u1},{"a":u3},{"a":u5},{"a":u6}])"},
    StoredCase{"escaped_values", R"({"k\n":"v\t","":""})", R"({"":"","k\n":"v\t"})"},
    // Array counts around the inline limit.
    StoredCase{"count_14", numbered_array(14), canonical_numbered(14)},
    StoredCase{"count_15", numbered_array(15), canonical_numbered(15)},
    StoredCase{"count_16", numbered_array(16), canonical_numbered(16)},
    StoredCase{"nested_counts", cat("[", numbered_array(15), ",[],[[]],", numbered_array(1), "]"),
               cat("[", canonical_numbered(15), ",[],[[]],", canonical_numbered(1), "]")},
    // Integers on both sides of the inline range.
    StoredCase{"integers",
               "[281474976710655,281474976710656,18446744073709551615,-281474976710656,-281474976710657,"
               "-9223372036854775808,0,-1]",
               "[u281474976710655,u281474976710656,u18446744073709551615,n-281474976710656,n-281474976710657,"
               "n-9223372036854775808,u0,n-1]"},
    StoredCase{"literals_and_floats", "[null,true,false,-0.0,1e300,-2.5,{}]", "[null,true,false,-0.0,1e+300,-2.5,{}]"}),
    [](const testing::TestParamInfo<StoredCase>& info) { return info.param.name; });

TEST(StoredTree, WideObjectsAndManyShapes) {
    // Objects wider than the layout cache, twice, then enough distinct shapes to reuse every
    // cache entry, then the first shape again.
    std::string wide = "{";
    std::string wide_expected = "{";
    for (int i = 99; i >= 20; --i) wide += cat(i != 99 ? "," : "", "\"k", std::to_string(i), "\":", std::to_string(i));
    for (int i = 20; i <= 99; ++i) wide_expected += cat(i != 20 ? "," : "", "\"k", std::to_string(i), "\":u", std::to_string(i));
    wide += "}";
    wide_expected += "}";
    std::string text = cat("[", wide, ",", wide);
    std::string expected = cat("[", wide_expected, ",", wide_expected);
    for (int i = 0; i < 500; ++i) {
        text += cat(",{\"s", std::to_string(i), "\":", std::to_string(i), ",\"a\":0}");
        expected += cat(",{\"a\":u0,\"s", std::to_string(i), "\":u", std::to_string(i), "}");
    }
    text += R"(,{"s0":7,"a":1}])";
    expected += R"(,{"a":u1,"s0":u7}])";
    EXPECT_EQ(canonical_of(text), expected);
}

// Long arrays and objects move to blocks of their own, and long objects fold their repeated keys
// as they are read: around those thresholds (4,096 children, then each doubling) the stored tree
// must match an independent model, the last of each repeated key winning.
struct LongCase {
    std::string name;
    int members;
    int distinct;  // member i has key i % distinct (members with repeats when below `members`)
    bool nested;   // another long container inside, open while the outer one grows
};

class LongContainers : public testing::TestWithParam<LongCase> {};

TEST_P(LongContainers, MatchAnIndependentModel) {
    const LongCase& c = GetParam();
    std::map<std::string, std::string> last;  // key -> canonical value
    std::string object = "{";
    std::string array = "[";
    std::string array_expected = "[";
    for (int i = 0; i < c.members; ++i) {
        std::string key = cat("k", std::to_string((i * 7919) % c.distinct));
        std::string value = std::to_string(i);
        std::string stored = cat("u", value);
        // An escaped key is kept by the reader in its own copy.
        if (i % 5 == 3) key += "\n";
        if (c.nested && i == c.members / 2) {
            value = numbered_array(c.members);
            stored = canonical_numbered(c.members);
        }
        std::string key_json;
        write_string(key_json, key);
        object += cat(i ? "," : "", key_json, ":", value);
        last[key] = stored;
        array += cat(i ? "," : "", value);
        array_expected += cat(i ? "," : "", stored);
    }
    object += "}";
    array += "]";
    array_expected += "]";
    std::string expected = "{";
    bool first = true;
    for (const auto& [key, value] : last) {
        std::string key_json;
        write_string(key_json, key);
        expected += cat(first ? "" : ",", key_json, ":", value);
        first = false;
    }
    expected += "}";
    EXPECT_EQ(canonical_of(object), expected);
    EXPECT_EQ(canonical_of(array), array_expected);
    EXPECT_EQ(canonical_of(cat("[", object, ",", array, "]")), cat("[", expected, ",", array_expected, "]"));
}

INSTANTIATE_TEST_SUITE_P(Thresholds, LongContainers, testing::Values(
    LongCase{"below", 4095, 4095, false},
    LongCase{"at", 4096, 4096, false},
    LongCase{"above", 4097, 4097, false},
    LongCase{"first_fold", 8193, 8193, false},
    LongCase{"many_doublings", 70001, 70001, false},
    LongCase{"one_key_repeated", 30000, 1, false},
    LongCase{"few_keys_repeated", 30000, 37, false},
    LongCase{"half_repeated", 30000, 15000, false},
    LongCase{"keys_fill_half_the_block", 40000, 4097, false},
    LongCase{"nested", 9000, 9000, true},
    LongCase{"nested_repeats", 9000, 100, true}),
    [](const testing::TestParamInfo<LongCase>& info) { return info.param.name; });

// With kept root keys only those members of a root object are stored; the rest are checked.
struct KeptCase {
    std::string name;
    std::string text;
    std::string expected;
};

class KeptRootKeys : public testing::TestWithParam<KeptCase> {};

TEST_P(KeptRootKeys, StoreOnlyThoseMembers) {
    constexpr std::string_view kept[] = {"a", "c"};
    Result<Document> result = read_document(GetParam().text, kept);
    ASSERT_TRUE(result.ok()) << result.error().message;
    std::string out;
    canonical(result->root(), out);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Roots, KeptRootKeys, testing::Values(
    KeptCase{"members", R"({"b":[1,{"a":2}],"a":{"b":3},"c":4,"d":"x"})", R"({"a":{"b":u3},"c":u4})"},
    KeptCase{"repeats_last_wins", R"({"a":1,"b":2,"a":[3],"\u0061":5})", R"({"a":u5})"},
    KeptCase{"none_kept", R"({"b":1,"d":{}})", "{}"},
    KeptCase{"array_root", R"([1,{"a":2}])", "null"},
    KeptCase{"scalar_root", R"("a")", "null"},
    KeptCase{"long_unkept_member", cat(R"({"b":)", numbered_array(100000), R"(,"a":1})"), R"({"a":u1})"}),
    [](const testing::TestParamInfo<KeptCase>& info) { return info.param.name; });

std::string nested(int levels, bool objects) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += objects ? "{\"a\":" : "[";
    text += "1";
    for (int i = 0; i < levels; ++i) text += objects ? "}" : "]";
    return text;
}

struct DepthCase {
    int levels;
    bool objects;
    bool ok;
};

class Nesting : public testing::TestWithParam<DepthCase> {};

TEST_P(Nesting, LimitIs127OpenContainers) {
    const DepthCase& c = GetParam();
    std::string text = nested(c.levels, c.objects);
    Result<Document> result = read_document(text);
    EXPECT_EQ(result.ok(), c.ok) << c.levels;
    if (!c.ok && !result.ok()) {
        // The 128th opening bracket is the failure point.
        std::size_t column = c.objects ? 128 * 5 - 4 : 128;
        EXPECT_EQ(result.error().message, cat("recursion limit exceeded at line 1 column ", std::to_string(column)));
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, Nesting, testing::Values(
    DepthCase{1, false, true}, DepthCase{126, false, true}, DepthCase{127, false, true},
    DepthCase{128, false, false}, DepthCase{127, true, true}, DepthCase{128, true, false},
    DepthCase{500, true, false}));

TEST(Nesting, MixedCommandObjectAt127Levels) {
    // The command's own object is the first level.
    std::string text = cat(R"({"cmd":"version","x":)", nested(126, false), "}");
    Document doc = read_ok(text);
    EXPECT_EQ(doc.root().find("cmd")->as_string(), "version");
    text = cat(R"({"cmd":"version","x":)", nested(127, false), "}");
    Result<Document> deeper = read_document(text);
    ASSERT_FALSE(deeper.ok());
    EXPECT_EQ(deeper.error().message.rfind("recursion limit exceeded at line 1 column ", 0), 0u);
}

TEST(Nesting, MillionOpeningBracketsFailWithoutRecursion) {
    Result<Document> result = read_document(std::string(1000000, '['));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "recursion limit exceeded at line 1 column 128");
    result = read_document(std::string(1000000, '{'));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "key must be a string at line 1 column 2");
}

}  // namespace
}  // namespace vorn::json
