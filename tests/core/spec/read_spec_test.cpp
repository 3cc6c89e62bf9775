// Both ways a spec comes in, run over one table: the constructor's text reader and the reader of
// the "set_spec" value tree. Each row gives the outcome of each path, so the rows show exactly
// where the two paths differ.
//
// In a row's text a '|' marks the failure point of the text reader; it is removed before either
// reader sees the text, and the expected text-path message ends with the line and column of that
// point.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "core/json/reader.hpp"
#include "core/spec/read_spec.hpp"
#include "tests/core/support/case_table.hpp"

namespace vorn {
namespace {

// One line per spec: fields, then the panels with every parameter ("%.17g" for floats).
std::string render(const VornSpec& spec) {
    auto number = [](double v) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v);
        return std::string(buf);
    };
    auto optional = [](const std::optional<std::int64_t>& ts) { return ts ? std::to_string(*ts) : std::string("-"); };
    std::string out = "d=" + spec.dataset_ref + " s=" + spec.symbol + " from=" + optional(spec.from_ts) +
                      " to=" + optional(spec.to_ts) + " [";
    for (const VornPanel& panel : spec.panels) {
        struct Visitor {
            std::string& out;
            decltype(number)& num;
            void operator()(const VornPanel::Footprint& p) const {
                out += "footprint(" + num(p.price_bin) + "," + std::to_string(p.bucket_ms) + ")";
            }
            void operator()(const VornPanel::BookHeatmap& p) const {
                out += "book_heatmap(" + num(p.price_bin) + "," + std::to_string(p.bucket_ms) + "," +
                       std::to_string(p.depth_levels) + ")";
            }
            void operator()(const VornPanel::LiquidationMap& p) const { out += "liquidation_map(" + num(p.price_bin) + ")"; }
            void operator()(const VornPanel::FundingOiDivergence& p) const {
                out += "funding_oi_divergence(" + std::to_string(p.bucket_ms) + ")";
            }
        };
        std::visit(Visitor{out, number}, panel.value);
        out += ' ';
    }
    if (!spec.panels.empty()) out.pop_back();
    return out + "]";
}

enum class Outcome { Spec, Failure, SameSyntaxFailure, NotApplicable };

struct Expect {
    Outcome outcome;
    std::string text;  // the rendered spec, or the message (without position)
};

struct ReadCase {
    std::string name;
    std::string marked;  // JSON text with an optional '|' at the text reader's failure point
    Expect text;
    Expect value;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

std::string position_of(const std::string& marked) {
    std::size_t point = marked.find('|');
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < point; ++i) {
        if (marked[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(point - line_start);
}

std::string unmarked(const std::string& marked) {
    std::string text = marked;
    if (std::size_t point = text.find('|'); point != std::string::npos) text.erase(point, 1);
    return text;
}

Outcome outcome_named(const std::string& name) {
    if (name == "spec") return Outcome::Spec;
    if (name == "failure") return Outcome::Failure;
    if (name == "same_syntax_failure") return Outcome::SameSyntaxFailure;
    if (name != "not_applicable") ADD_FAILURE() << "unknown outcome " << name;
    return Outcome::NotApplicable;
}

// The table of tests/data/spec_reading.tsv, which the Python tests read too.
std::vector<ReadCase> all_cases() {
    std::vector<ReadCase> cases;
    for (std::vector<std::string>& row : testing_support::read_case_table("spec_reading.tsv", 6)) {
        cases.push_back({row[0], row[1], {outcome_named(row[2]), row[3]}, {outcome_named(row[4]), row[5]}});
    }
    return cases;
}

class ReadSpec : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadSpec, TextPath) {
    const ReadCase& c = GetParam();
    std::string text = unmarked(c.marked);
    Result<std::optional<VornSpec>> read = parse_spec_text(text);
    std::string expected_message;
    switch (c.text.outcome) {
        case Outcome::Spec:
            ASSERT_TRUE(read.ok()) << read.error().message;
            ASSERT_TRUE(read->has_value());
            EXPECT_EQ(render(**read), c.text.text);
            return;
        case Outcome::Failure:
            ASSERT_NE(c.marked.find('|'), std::string::npos) << "a failing row marks its failure point";
            expected_message = c.text.text + position_of(c.marked);
            break;
        case Outcome::SameSyntaxFailure: {
            ASSERT_NE(c.marked.find('|'), std::string::npos) << "a failing row marks its failure point";
            Result<json::Document> generic = json::read_document(text);
            ASSERT_FALSE(generic.ok()) << "the generic reader accepts this text";
            expected_message = generic.error().message;
            // The marked point must agree with what the generic reader reports.
            EXPECT_NE(expected_message.find(position_of(c.marked)), std::string::npos) << expected_message;
            break;
        }
        case Outcome::NotApplicable: FAIL() << "every row has a text-path outcome";
    }
    ASSERT_FALSE(read.ok()) << render(**read);
    EXPECT_EQ(read.error().kind, ErrorKind::Parse);
    EXPECT_EQ(read.error().message, expected_message);
}

TEST_P(ReadSpec, ValuePath) {
    const ReadCase& c = GetParam();
    std::string text = unmarked(c.marked);
    Result<json::Document> document = json::read_document(text);
    switch (c.value.outcome) {
        case Outcome::NotApplicable:
            EXPECT_FALSE(document.ok());
            return;
        case Outcome::SameSyntaxFailure: {
            ASSERT_FALSE(document.ok());
            Result<std::optional<VornSpec>> direct = parse_spec_text(text);
            ASSERT_FALSE(direct.ok());
            EXPECT_EQ(document.error().message, direct.error().message);
            return;
        }
        case Outcome::Spec:
        case Outcome::Failure: break;
    }
    ASSERT_TRUE(document.ok()) << document.error().message;
    Result<VornSpec> read = spec_from_value(document->root());
    if (c.value.outcome == Outcome::Spec) {
        ASSERT_TRUE(read.ok()) << read.error().message;
        EXPECT_EQ(render(*read), c.value.text);
    } else {
        ASSERT_FALSE(read.ok()) << render(*read);
        EXPECT_EQ(read.error().kind, ErrorKind::Parse);
        EXPECT_EQ(read.error().message, c.value.text);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadSpec, ::testing::ValuesIn(all_cases()),
                         [](const auto& info) { return info.param.name; });

// Trimming, the no-spec shortcut, and positions counted from the trimmed text.
struct TrimCase {
    std::string name;
    std::string text;
    std::string message;  // "" with no_spec: no spec; "" otherwise: a spec
    bool no_spec;
};

void PrintTo(const TrimCase& c, std::ostream* os) { *os << c.name; }

class ParseSpecText : public ::testing::TestWithParam<TrimCase> {};

TEST_P(ParseSpecText, TrimsUnicodeWhiteSpace) {
    const TrimCase& c = GetParam();
    Result<std::optional<VornSpec>> read = parse_spec_text(c.text);
    if (!c.message.empty()) {
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().kind, ErrorKind::Parse);
        EXPECT_EQ(read.error().message, c.message);
        return;
    }
    ASSERT_TRUE(read.ok()) << read.error().message;
    EXPECT_EQ(read->has_value(), !c.no_spec);
}

const std::string kValid = R"({"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"}]})";

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseSpecText,
    ::testing::Values(
        TrimCase{"empty", "", "", true}, TrimCase{"blank", " \t\r\n\v\f ", "", true},
        TrimCase{"braces", "{}", "", true}, TrimCase{"braces_in_white_space", "  {}  ", "", true},
        TrimCase{"braces_in_ascii_controls", "\n{}\t", "", true},
        TrimCase{"braces_in_unicode_spaces", "\xc2\xa0\xe3\x80\x80{}\xe2\x80\xa8\xc2\x85", "", true},
        TrimCase{"only_unicode_spaces",
                 "\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xc2\x85\x0b\x0c", "", true},
        TrimCase{"space_inside_braces", "{ }", "missing field `dataset_ref` at line 1 column 3", false},
        TrimCase{"braces_then_more", "{} {}", "missing field `dataset_ref` at line 1 column 2", false},
        TrimCase{"spec_in_unicode_spaces", "\xe2\x80\x82" + kValid + "\xe3\x80\x80\xc2\xa0", "", false},
        TrimCase{"byte_order_mark_is_not_white_space", "\xef\xbb\xbf{}", "expected value at line 1 column 1", false},
        TrimCase{"zero_width_space_is_not_white_space", "{}\xe2\x80\x8b", "missing field `dataset_ref` at line 1 column 2",
                 false},
        TrimCase{"lines_count_from_the_trimmed_text", "\n\n  \xc2\xa0{\n  \"x\" 5}", "expected `:` at line 2 column 7",
                 false},
        TrimCase{"carriage_return_is_a_byte_of_its_line", "{\r\n  x", "key must be a string at line 2 column 3", false},
        TrimCase{"columns_count_bytes", "{\"dataset_ref\":\"\xc3\xa9\xc3\xa9\",\"symbol\":5}",
                 "invalid type: integer `5`, expected a string at line 1 column 32", false},
        TrimCase{"position_on_a_later_line",
                 "{\n  \"dataset_ref\": \"d\",\n  \"symbol\": \"S\",\n  \"panels\": [\n    {\"kind\": \"book_heatmap\", "
                 "\"depth_levels\": 1.5}\n  ]\n}",
                 "invalid type: floating point `1.5`, expected u32 at line 6 column 3", false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vorn
