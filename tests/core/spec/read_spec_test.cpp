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

Expect ok(std::string rendered) { return {Outcome::Spec, std::move(rendered)}; }
Expect fails(std::string message) { return {Outcome::Failure, std::move(message)}; }
// The generic reader rejects the text with exactly the text reader's message and position.
Expect same_syntax_failure() { return {Outcome::SameSyntaxFailure, ""}; }
// The text is not valid JSON as a whole, so the value path never sees a spec.
Expect no_value() { return {Outcome::NotApplicable, ""}; }

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

// The wrapper of most rows: a spec around a panel list.
std::string with_panels(const std::string& panels) {
    return R"({"dataset_ref":"d","symbol":"S","panels":)" + panels + "}";
}

const std::string kTagList =
    "one of `footprint`, `book_heatmap`, `liquidation_map`, `funding_oi_divergence`";

std::vector<ReadCase> spec_level_cases() {
    return {
        {"minimal_liquidation_map", with_panels(R"([{"kind":"liquidation_map"}])"),
         ok("d=d s=S from=- to=- [liquidation_map(1)]"), ok("d=d s=S from=- to=- [liquidation_map(1)]")},
        {"every_field_and_kind",
         R"({"symbol":"BTC","to_ts":20,"from_ts":-5,"dataset_ref":"","panels":[)"
         R"({"price_bin":0.25,"bucket_ms":1000,"kind":"footprint"},)"
         R"({"kind":"book_heatmap","depth_levels":7,"bucket_ms":5,"price_bin":2},)"
         R"({"kind":"liquidation_map","price_bin":1e-3},{"bucket_ms":3600000,"kind":"funding_oi_divergence"}]})",
         ok("d= s=BTC from=-5 to=20 [footprint(0.25,1000) book_heatmap(2,5,7) liquidation_map(0.001) "
            "funding_oi_divergence(3600000)]"),
         ok("d= s=BTC from=-5 to=20 [footprint(0.25,1000) book_heatmap(2,5,7) liquidation_map(0.001) "
            "funding_oi_divergence(3600000)]")},
        {"null_window_and_escaped_keys",
         R"({"dataset_r\u0065f":"d","symbol":"S\u00e9","from_ts":5,"to_ts":null,"panels":[{"k\u0069nd":"footprint","price\u005fbin":3}]})",
         ok("d=d s=S\xc3\xa9 from=5 to=- [footprint(3,60000)]"), ok("d=d s=S\xc3\xa9 from=5 to=- [footprint(3,60000)]")},
        {"unknown_members_are_skipped",
         R"({"extra":{"a":[1,{"b":null}]},"dataset_ref":"d","extra":5,"symbol":"S","panels":[{"kind":"funding_oi_divergence","what":[[]]}]})",
         ok("d=d s=S from=- to=- [funding_oi_divergence(60000)]"),
         ok("d=d s=S from=- to=- [funding_oi_divergence(60000)]")},
        {"empty_panel_list_reads", with_panels("[]"), ok("d=d s=S from=- to=- []"), ok("d=d s=S from=- to=- []")},

        // The value itself.
        {"integer", "5|", fails("invalid type: integer `5`, expected struct VornSpec"),
         fails("invalid type: integer `5`, expected struct VornSpec")},
        {"negative_integer", "-7|", fails("invalid type: integer `-7`, expected struct VornSpec"),
         fails("invalid type: integer `-7`, expected struct VornSpec")},
        {"null", "null|", fails("invalid type: null, expected struct VornSpec"),
         fails("invalid type: null, expected struct VornSpec")},
        {"string", R"("a\"b"|)", fails(R"(invalid type: string "a\"b", expected struct VornSpec)"),
         fails(R"(invalid type: string "a\"b", expected struct VornSpec)")},
        {"boolean", "false|", fails("invalid type: boolean `false`, expected struct VornSpec"),
         fails("invalid type: boolean `false`, expected struct VornSpec")},
        {"float", "2.50|", fails("invalid type: floating point `2.5`, expected struct VornSpec"),
         fails("invalid type: floating point `2.5`, expected struct VornSpec")},
        {"misspelt_literal", "nul|", same_syntax_failure(), no_value()},

        // Missing members: after the closing brace, in declared order, before trailing characters.
        {"space_inside_braces", "{ }|", fails("missing field `dataset_ref`"), fails("missing field `dataset_ref`")},
        {"missing_symbol", R"({"dataset_ref":"d"}|)", fails("missing field `symbol`"), fails("missing field `symbol`")},
        {"missing_panels", R"({"symbol":"S","dataset_ref":"d"}|)", fails("missing field `panels`"),
         fails("missing field `panels`")},
        {"missing_dataset_ref_first", R"({"panels":[],"symbol":"S"}|)", fails("missing field `dataset_ref`"),
         fails("missing field `dataset_ref`")},
        {"missing_field_before_trailing_characters", R"({"dataset_ref":"d"}| x)", fails("missing field `symbol`"),
         no_value()},
        {"missing_field_after_multiline_object", "{\n  \"dataset_ref\": \"d\"\n}|", fails("missing field `symbol`"),
         fails("missing field `symbol`")},

        // Member types.
        {"dataset_ref_integer", R"({"dataset_ref":5|,"symbol":"S","panels":[]})",
         fails("invalid type: integer `5`, expected a string"), fails("invalid type: integer `5`, expected a string")},
        {"symbol_null", R"({"dataset_ref":"d","symbol":null|,"panels":[]})",
         fails("invalid type: null, expected a string"), fails("invalid type: null, expected a string")},
        {"symbol_array_placed_before_bracket", R"({"dataset_ref":"d","symbol": |[1,2],"panels":[]})",
         fails("invalid type: sequence, expected a string"), fails("invalid type: sequence, expected a string")},
        {"symbol_object", R"({"dataset_ref":"d","symbol":|{},"panels":[]})",
         fails("invalid type: map, expected a string"), fails("invalid type: map, expected a string")},
        {"from_ts_float", R"({"from_ts":1.5|,"dataset_ref":"d","symbol":"S","panels":[]})",
         fails("invalid type: floating point `1.5`, expected i64"),
         fails("invalid type: floating point `1.5`, expected i64")},
        {"from_ts_minus_zero", R"({"from_ts":-0|,"dataset_ref":"d","symbol":"S","panels":[]})",
         fails("invalid type: floating point `-0.0`, expected i64"),
         fails("invalid type: floating point `-0.0`, expected i64")},
        {"to_ts_above_i64", R"({"to_ts":9223372036854775808|,"dataset_ref":"d","symbol":"S","panels":[]})",
         fails("invalid value: integer `9223372036854775808`, expected i64"),
         fails("invalid value: integer `9223372036854775808`, expected i64")},
        {"to_ts_above_u64_is_float", R"({"to_ts":18446744073709551616|,"dataset_ref":"d","symbol":"S","panels":[]})",
         fails("invalid type: floating point `1.8446744073709552e+19`, expected i64"),
         fails("invalid type: floating point `1.8446744073709552e+19`, expected i64")},
        {"to_ts_string", R"({"to_ts":"5"|,"dataset_ref":"d","symbol":"S","panels":[]})",
         fails(R"(invalid type: string "5", expected i64)"), fails(R"(invalid type: string "5", expected i64)")},
        {"to_ts_boolean", R"({"to_ts":true|,"dataset_ref":"d","symbol":"S","panels":[]})",
         fails("invalid type: boolean `true`, expected i64"), fails("invalid type: boolean `true`, expected i64")},
        {"from_ts_array", R"({"from_ts":|[],"dataset_ref":"d","symbol":"S","panels":[]})",
         fails("invalid type: sequence, expected i64"), fails("invalid type: sequence, expected i64")},
        {"window_bounds_of_i64",
         R"({"from_ts":-9223372036854775808,"to_ts":9223372036854775807,"dataset_ref":"d","symbol":"S","panels":[]})",
         ok("d=d s=S from=-9223372036854775808 to=9223372036854775807 []"),
         ok("d=d s=S from=-9223372036854775808 to=9223372036854775807 []")},
        {"panels_object", R"({"dataset_ref":"d","symbol":"S","panels":|{}})",
         fails("invalid type: map, expected a sequence"), fails("invalid type: map, expected a sequence")},
        {"panels_null", R"({"dataset_ref":"d","symbol":"S","panels":null|})",
         fails("invalid type: null, expected a sequence"), fails("invalid type: null, expected a sequence")},
        {"panels_string", R"({"dataset_ref":"d","symbol":"S","panels":"footprint"|})",
         fails(R"(invalid type: string "footprint", expected a sequence)"),
         fails(R"(invalid type: string "footprint", expected a sequence)")},

        // Document order against ascending key order.
        {"first_member_in_document_against_first_key", R"({"symbol":5|,"dataset_ref":true,"panels":[]})",
         fails("invalid type: integer `5`, expected a string"), fails("invalid type: boolean `true`, expected a string")},
        {"panels_sort_before_to_ts", R"({"to_ts":1.5|,"panels":7,"dataset_ref":"d","symbol":"S"})",
         fails("invalid type: floating point `1.5`, expected i64"),
         fails("invalid type: integer `7`, expected a sequence")},
        {"bad_member_before_missing_ones", R"({"symbol":|{}})", fails("invalid type: map, expected a string"),
         fails("invalid type: map, expected a string")},

        // Repeated members: only the text path sees them.
        {"duplicate_dataset_ref", R"({"dataset_ref":"d","dataset_ref"|:"e","symbol":"S","panels":[]})",
         fails("duplicate field `dataset_ref`"), ok("d=e s=S from=- to=- []")},
        {"duplicate_placed_after_white_space", "{\"dataset_ref\":\"d\",\"symbol\":\"S\",\"symbol\" \n |: \"T\",\"panels\":[]}",
         fails("duplicate field `symbol`"), ok("d=d s=T from=- to=- []")},
        {"duplicate_null_from_ts", R"({"from_ts":null,"from_ts"|:null,"dataset_ref":"d","symbol":"S","panels":[]})",
         fails("duplicate field `from_ts`"), ok("d=d s=S from=- to=- []")},
        {"duplicate_to_ts_reported_before_its_bad_value",
         R"({"to_ts":1,"to_ts"|:"x","dataset_ref":"d","symbol":"S","panels":[]})", fails("duplicate field `to_ts`"),
         fails(R"(invalid type: string "x", expected i64)")},
        {"duplicate_panels", R"({"panels":[],"dataset_ref":"d","symbol":"S","panels"|:[{"kind":"footprint"}]})",
         fails("duplicate field `panels`"), ok("d=d s=S from=- to=- [footprint(1,60000)]")},
        {"duplicate_reported_before_missing_colon", R"({"symbol":"S","symbol" |5})", fails("duplicate field `symbol`"),
         no_value()},
        {"duplicate_reported_at_end_of_text", R"({"symbol":"S","symbol"|)", fails("duplicate field `symbol`"), no_value()},
        {"new_key_without_colon_is_a_syntax_failure", R"({"symbol":"S","panels" 5|})", same_syntax_failure(), no_value()},
        {"duplicate_unknown_member", R"({"x":1,"x":[2],"dataset_ref":"d","symbol":"S","panels":[]})",
         ok("d=d s=S from=- to=- []"), ok("d=d s=S from=- to=- []")},

        // Syntax inside the spec object, as the generic reader reports it.
        {"trailing_characters", R"({"dataset_ref":"d","symbol":"S","panels":[]} x|)", same_syntax_failure(), no_value()},
        {"second_value", R"({"dataset_ref":"d","symbol":"S","panels":[]}{|})", same_syntax_failure(), no_value()},
        {"trailing_comma_in_spec", R"({"dataset_ref":"d",}|)", same_syntax_failure(), no_value()},
        {"missing_colon", R"({"dataset_ref" "|d"})", same_syntax_failure(), no_value()},
        {"missing_comma", R"({"dataset_ref":"d" "|symbol":"S"})", same_syntax_failure(), no_value()},
        {"key_not_a_string", R"({"dataset_ref":"d",5|:1})", same_syntax_failure(), no_value()},
        {"first_key_not_a_string", R"({,|})", same_syntax_failure(), no_value()},
        {"bad_escape_in_symbol", R"({"dataset_ref":"d","symbol":"a\q|"})", same_syntax_failure(), no_value()},
        {"bad_number_in_unknown_member", R"({"x":01|,"dataset_ref":"d"})", same_syntax_failure(), no_value()},
        {"text_ends_in_object", R"({"dataset_ref":"d"|)", same_syntax_failure(), no_value()},
        {"text_ends_after_comma", R"({"dataset_ref":"d",|)", same_syntax_failure(), no_value()},
        {"text_ends_inside_unknown_member", R"({"x":[[[|)", same_syntax_failure(), no_value()},
        {"control_character_in_key", "{\"a\t|b\":1}", same_syntax_failure(), no_value()},
    };
}

std::vector<ReadCase> positional_spec_cases() {
    const std::string panels = R"([{"kind":"footprint"}])";
    return {
        {"five_elements", R"(["d","S",null,7,[["footprint",0.5]]])", ok("d=d s=S from=- to=7 [footprint(0.5,60000)]"),
         ok("d=d s=S from=- to=7 [footprint(0.5,60000)]")},
        {"zero_elements", "[]|", fails("invalid length 0, expected struct VornSpec with 5 elements"),
         fails("invalid length 0, expected struct VornSpec with 5 elements")},
        {"one_element", R"(["d"]|)", fails("invalid length 1, expected struct VornSpec with 5 elements"),
         fails("invalid length 1, expected struct VornSpec with 5 elements")},
        {"two_elements", R"(["d","S"]|)", fails("invalid length 4, expected struct VornSpec with 5 elements"),
         fails("invalid length 4, expected struct VornSpec with 5 elements")},
        {"three_elements", R"(["d","S",1]| )", fails("invalid length 4, expected struct VornSpec with 5 elements"),
         fails("invalid length 4, expected struct VornSpec with 5 elements")},
        {"four_elements", "[\"d\",\"S\",null,null\n]|", fails("invalid length 4, expected struct VornSpec with 5 elements"),
         fails("invalid length 4, expected struct VornSpec with 5 elements")},
        {"six_elements", R"(["d","S",null,null,)" + panels + R"(, 5|])", fails("trailing characters"),
         fails("invalid length 6, expected fewer elements in array")},
        {"seven_elements", R"(["d","S",null,null,)" + panels + R"(,{|},[]])", fails("trailing characters"),
         fails("invalid length 7, expected fewer elements in array")},
        {"six_elements_with_bad_sixth", R"(["d","S",null,null,)" + panels + R"(,"|a\q"])", fails("trailing characters"),
         no_value()},
        {"garbage_after_five", R"(["d","S",null,null,)" + panels + R"( x|])", fails("trailing characters"), no_value()},
        {"text_ends_after_five", R"(["d","S",null,null,)" + panels + "|", fails("EOF while parsing a list"), no_value()},
        {"text_ends_after_comma_after_five", R"(["d","S",null,null,)" + panels + ",|", fails("trailing characters"),
         no_value()},
        {"trailing_comma_after_five", R"(["d","S",null,null,)" + panels + R"(,]|)", same_syntax_failure(), no_value()},
        {"bad_element_before_length", R"(["d",5|,null])", fails("invalid type: integer `5`, expected a string"),
         fails("invalid type: integer `5`, expected a string")},
        {"bad_element_before_too_many", R"(["d","S",1.0|,null,[],1])",
         fails("invalid type: floating point `1.0`, expected i64"),
         fails("invalid type: floating point `1.0`, expected i64")},
        {"bad_panels_element", R"(["d","S",null,null,|{}])", fails("invalid type: map, expected a sequence"),
         fails("invalid type: map, expected a sequence")},
        {"text_ends_in_positional_spec", R"(["d","S"|)", same_syntax_failure(), no_value()},
    };
}

std::vector<ReadCase> panel_cases() {
    const std::string bad_price = R"(invalid type: string "x", expected f64)";
    return {
        // Tags.
        {"kind_last", with_panels(R"([{"price_bin":2,"bucket_ms":5,"depth_levels":9,"kind":"book_heatmap"}])"),
         ok("d=d s=S from=- to=- [book_heatmap(2,5,9)]"), ok("d=d s=S from=- to=- [book_heatmap(2,5,9)]")},
        {"capitalised_kind", with_panels(R"([{"kind":"Footprint"|}])"), fails("unknown variant `Footprint`, expected " + kTagList),
         fails("unknown variant `Footprint`, expected " + kTagList)},
        {"kind_integer", with_panels(R"([{"kind":5|}])"), fails("invalid type: integer `5`, expected variant identifier"),
         fails("invalid type: integer `5`, expected variant identifier")},
        {"kind_negative", with_panels(R"([{"kind":-5|}])"), fails("invalid type: integer `-5`, expected variant identifier"),
         fails("invalid type: integer `-5`, expected variant identifier")},
        {"kind_null", with_panels(R"([{"kind":null|}])"), fails("invalid type: null, expected variant identifier"),
         fails("invalid type: null, expected variant identifier")},
        {"kind_array", with_panels(R"([{"kind":|["footprint"]}])"), fails("invalid type: sequence, expected variant identifier"),
         fails("invalid type: sequence, expected variant identifier")},
        {"kind_object", with_panels(R"([{"kind": |{}}])"), fails("invalid type: map, expected variant identifier"),
         fails("invalid type: map, expected variant identifier")},
        {"bad_tag_wins_over_earlier_bad_parameter", with_panels(R"([{"price_bin":"x","kind":"heatmap"|}])"),
         fails("unknown variant `heatmap`, expected " + kTagList), fails("unknown variant `heatmap`, expected " + kTagList)},
        {"missing_kind", with_panels(R"([{}|])"), fails("missing field `kind`"), fails("missing field `kind`")},
        {"missing_kind_with_bad_parameters", with_panels(R"([{"price_bin":"x","bucket_ms":1.5}| ])"),
         fails("missing field `kind`"), fails("missing field `kind`")},
        {"duplicate_kind", with_panels(R"([{"kind":"footprint","kind" |:"liquidation_map"}])"),
         fails("duplicate field `kind`"), ok("d=d s=S from=- to=- [liquidation_map(1)]")},

        // Elements that are not panels.
        {"null_panel", with_panels("[null|]"), fails("invalid type: null, expected internally tagged enum VornPanel"),
         fails("invalid type: null, expected internally tagged enum VornPanel")},
        {"integer_panel", with_panels(R"([{"kind":"footprint"},3|])"),
         fails("invalid type: integer `3`, expected internally tagged enum VornPanel"),
         fails("invalid type: integer `3`, expected internally tagged enum VornPanel")},
        {"string_panel", with_panels(R"(["footprint"|])"),
         fails(R"(invalid type: string "footprint", expected internally tagged enum VornPanel)"),
         fails(R"(invalid type: string "footprint", expected internally tagged enum VornPanel)")},

        // Parameter types.
        {"integer_price_bin", with_panels(R"([{"kind":"footprint","price_bin":5}])"), ok("d=d s=S from=- to=- [footprint(5,60000)]"),
         ok("d=d s=S from=- to=- [footprint(5,60000)]")},
        {"extreme_parameters",
         with_panels(R"([{"kind":"book_heatmap","price_bin":-0.0,"bucket_ms":-9223372036854775808,"depth_levels":4294967295},)"
                     R"({"kind":"footprint","price_bin":18446744073709551615,"bucket_ms":9223372036854775807}])"),
         ok("d=d s=S from=- to=- [book_heatmap(-0,-9223372036854775808,4294967295) "
            "footprint(1.8446744073709552e+19,9223372036854775807)]"),
         ok("d=d s=S from=- to=- [book_heatmap(-0,-9223372036854775808,4294967295) "
            "footprint(1.8446744073709552e+19,9223372036854775807)]")},
        {"zero_depth_levels_reads", with_panels(R"([{"kind":"book_heatmap","depth_levels":0}])"),
         ok("d=d s=S from=- to=- [book_heatmap(1,60000,0)]"), ok("d=d s=S from=- to=- [book_heatmap(1,60000,0)]")},
        {"price_bin_string", with_panels(R"([{"kind":"footprint","price_bin":"x"}]|)"), fails(bad_price), fails(bad_price)},
        {"price_bin_boolean", with_panels(R"([{"kind":"liquidation_map","price_bin":true}]|)"),
         fails("invalid type: boolean `true`, expected f64"), fails("invalid type: boolean `true`, expected f64")},
        {"price_bin_null", with_panels(R"([{"kind":"book_heatmap","price_bin":null}]|)"),
         fails("invalid type: null, expected f64"), fails("invalid type: null, expected f64")},
        {"price_bin_array", with_panels(R"([{"kind":"footprint","price_bin":[1]}]|)"),
         fails("invalid type: sequence, expected f64"), fails("invalid type: sequence, expected f64")},
        {"price_bin_object", with_panels(R"([{"kind":"footprint","price_bin":{"a":1}}]|)"),
         fails("invalid type: map, expected f64"), fails("invalid type: map, expected f64")},
        {"bucket_ms_float", with_panels(R"([{"kind":"footprint","bucket_ms":60000.0}]|)"),
         fails("invalid type: floating point `60000.0`, expected i64"),
         fails("invalid type: floating point `60000.0`, expected i64")},
        {"bucket_ms_above_i64", with_panels(R"([{"kind":"funding_oi_divergence","bucket_ms":9223372036854775808}]|)"),
         fails("invalid value: integer `9223372036854775808`, expected i64"),
         fails("invalid value: integer `9223372036854775808`, expected i64")},
        {"bucket_ms_exponent", with_panels(R"([{"kind":"book_heatmap","bucket_ms":1e3}]|)"),
         fails("invalid type: floating point `1000.0`, expected i64"),
         fails("invalid type: floating point `1000.0`, expected i64")},
        {"depth_levels_negative", with_panels(R"([{"kind":"book_heatmap","depth_levels":-1}]|)"),
         fails("invalid value: integer `-1`, expected u32"), fails("invalid value: integer `-1`, expected u32")},
        {"depth_levels_above_u32", with_panels(R"([{"kind":"book_heatmap","depth_levels":4294967296}]|)"),
         fails("invalid value: integer `4294967296`, expected u32"),
         fails("invalid value: integer `4294967296`, expected u32")},
        {"depth_levels_float", with_panels(R"([{"kind":"book_heatmap","depth_levels":40.0}]|)"),
         fails("invalid type: floating point `40.0`, expected u32"),
         fails("invalid type: floating point `40.0`, expected u32")},
        {"depth_levels_string", with_panels(R"([{"kind":"book_heatmap","depth_levels":"40"}]|)"),
         fails(R"(invalid type: string "40", expected u32)"), fails(R"(invalid type: string "40", expected u32)")},
        {"parameters_of_other_kinds_ignored",
         with_panels(R"([{"kind":"footprint","depth_levels":"x","depth_levels":[]},{"kind":"funding_oi_divergence","price_bin":null}])"),
         ok("d=d s=S from=- to=- [footprint(1,60000) funding_oi_divergence(60000)]"),
         ok("d=d s=S from=- to=- [footprint(1,60000) funding_oi_divergence(60000)]")},
        {"duplicate_parameter", with_panels(R"([{"kind":"footprint","price_bin":1,"price_bin":2}]|)"),
         fails("duplicate field `price_bin`"), ok("d=d s=S from=- to=- [footprint(2,60000)]")},
        {"duplicate_parameter_before_kind", with_panels(R"([{"bucket_ms":1,"bucket_ms":2,"kind":"funding_oi_divergence"}]|)"),
         fails("duplicate field `bucket_ms`"), ok("d=d s=S from=- to=- [funding_oi_divergence(2)]")},
        {"held_string_keeps_its_escapes", with_panels(R"([{"kind":"footprint","price_bin":"a\"b\u0001"}]|)"),
         fails(R"(invalid type: string "a\"b\u0001", expected f64)"), fails(R"(invalid type: string "a\"b\u0001", expected f64)")},
        {"repeats_of_other_kinds_parameters_do_not_hide_a_failure",
         with_panels(R"([{"depth_levels":1,"depth_levels":2,"depth_levels":3,"price_bin":"x","kind":"footprint"}]|)"),
         fails(bad_price), fails(bad_price)},
        {"third_occurrence_never_reached", with_panels(R"([{"kind":"book_heatmap","price_bin":1,"price_bin":"x","price_bin":2}]|)"),
         fails("duplicate field `price_bin`"), ok("d=d s=S from=- to=- [book_heatmap(2,60000,40)]")},
        {"ignored_parameter_between_repeats",
         with_panels(R"([{"price_bin":1,"bucket_ms":"y","price_bin":2,"kind":"liquidation_map"}]|)"),
         fails("duplicate field `price_bin`"), ok("d=d s=S from=- to=- [liquidation_map(2)]")},
        {"own_parameter_between_repeats", with_panels(R"([{"price_bin":1,"bucket_ms":"y","price_bin":2,"kind":"footprint"}]|)"),
         fails(R"(invalid type: string "y", expected i64)"), fails(R"(invalid type: string "y", expected i64)")},
        {"parameters_in_document_against_key_order",
         with_panels(R"([{"price_bin":"x","bucket_ms":1.5,"kind":"footprint"}]|)"), fails(bad_price),
         fails("invalid type: floating point `1.5`, expected i64")},
        {"first_bad_panel_reported",
         with_panels(R"([{"kind":"footprint"},{"kind":"liquidation_map","price_bin":"x"},|{"kind":"footprint","price_bin":"y"}])"),
         fails(bad_price), fails(bad_price)},
        {"bad_tag_in_a_later_panel_after_a_bad_parameter",
         with_panels(R"([{"kind":"footprint","price_bin":"x"},|{"kind":"nope"}])"), fails(bad_price), fails(bad_price)},

        // Where a parameter failure is placed: after the list has checked for its end.
        {"parameter_failure_after_list_end", with_panels(R"([{"kind":"footprint","price_bin":"x"}  ]|)"), fails(bad_price),
         fails(bad_price)},
        {"parameter_failure_after_comma_and_white_space",
         with_panels("[{\"kind\":\"footprint\",\"price_bin\":\"x\"} ,\n   |{\"kind\":\"footprint\"}]"), fails(bad_price),
         fails(bad_price)},
        {"parameter_failure_before_garbage", with_panels(R"([{"kind":"footprint","price_bin":"x"} |x])"), fails(bad_price),
         no_value()},
        {"parameter_failure_before_trailing_comma", with_panels(R"([{"kind":"footprint","price_bin":"x"}, |])"),
         fails(bad_price), no_value()},
        {"parameter_failure_at_end_of_text", R"({"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint","price_bin":"x"}|)",
         fails(bad_price), no_value()},

        // Positional panels.
        {"positional_tag_only", with_panels(R"([["book_heatmap"]])"), ok("d=d s=S from=- to=- [book_heatmap(1,60000,40)]"),
         ok("d=d s=S from=- to=- [book_heatmap(1,60000,40)]")},
        {"positional_full", with_panels(R"([["book_heatmap",0.5,10,3],["liquidation_map",2],["funding_oi_divergence",7],["footprint",4,8]])"),
         ok("d=d s=S from=- to=- [book_heatmap(0.5,10,3) liquidation_map(2) funding_oi_divergence(7) footprint(4,8)]"),
         ok("d=d s=S from=- to=- [book_heatmap(0.5,10,3) liquidation_map(2) funding_oi_divergence(7) footprint(4,8)]")},
        {"positional_partial", with_panels(R"([["book_heatmap",0.5,10]])"), ok("d=d s=S from=- to=- [book_heatmap(0.5,10,40)]"),
         ok("d=d s=S from=- to=- [book_heatmap(0.5,10,40)]")},
        {"positional_empty", with_panels("[[]|]"), fails("missing field `kind`"), fails("missing field `kind`")},
        {"positional_empty_with_white_space", with_panels("[[ \n ]|]"), fails("missing field `kind`"),
         fails("missing field `kind`")},
        {"positional_bad_tag", with_panels(R"([["heatmap"|,1]])"), fails("unknown variant `heatmap`, expected " + kTagList),
         fails("unknown variant `heatmap`, expected " + kTagList)},
        {"positional_tag_not_a_string", with_panels(R"([[1.5|]])"),
         fails("invalid type: floating point `1.5`, expected variant identifier"),
         fails("invalid type: floating point `1.5`, expected variant identifier")},
        {"positional_tag_array", with_panels(R"([[|[]]])"), fails("invalid type: sequence, expected variant identifier"),
         fails("invalid type: sequence, expected variant identifier")},
        {"footprint_three_numbers", with_panels(R"([["footprint",1,2,3]]|)"),
         fails("invalid length 3, expected 2 elements in sequence"),
         fails("invalid length 3, expected 2 elements in sequence")},
        {"book_heatmap_four_numbers", with_panels(R"([["book_heatmap",1,2,3,4]]|)"),
         fails("invalid length 4, expected 3 elements in sequence"),
         fails("invalid length 4, expected 3 elements in sequence")},
        {"liquidation_map_two_numbers", with_panels(R"([["liquidation_map",1,2]]|)"),
         fails("invalid length 2, expected 1 element in sequence"),
         fails("invalid length 2, expected 1 element in sequence")},
        {"divergence_three_numbers", with_panels(R"([["funding_oi_divergence",1,2,3],|["footprint"]])"),
         fails("invalid length 3, expected 1 element in sequence"),
         fails("invalid length 3, expected 1 element in sequence")},
        {"positional_many_extra_elements", with_panels(R"([["liquidation_map",1,2,3,4,5,6,7,8]]|)"),
         fails("invalid length 8, expected 1 element in sequence"),
         fails("invalid length 8, expected 1 element in sequence")},
        {"positional_extra_elements_are_not_typed", with_panels(R"([["liquidation_map",1,"x",{"a":[]}]]|)"),
         fails("invalid length 3, expected 1 element in sequence"),
         fails("invalid length 3, expected 1 element in sequence")},
        {"positional_syntax_after_a_bad_parameter", with_panels(R"([["footprint","x",1,tx|]])"), same_syntax_failure(),
         no_value()},
        {"positional_bad_parameter_before_length", with_panels(R"([["footprint",1,"x",3]]|)"),
         fails(R"(invalid type: string "x", expected i64)"), fails(R"(invalid type: string "x", expected i64)")},
        {"positional_depth_levels_negative", with_panels(R"([["book_heatmap",1,1,-3]]|)"),
         fails("invalid value: integer `-3`, expected u32"), fails("invalid value: integer `-3`, expected u32")},

        // Syntax inside panels.
        {"trailing_comma_in_panel", with_panels(R"([{"kind":"footprint",}|])"), same_syntax_failure(), no_value()},
        {"trailing_comma_in_list", with_panels(R"([{"kind":"footprint"},]|)"), same_syntax_failure(), no_value()},
        {"missing_comma_in_list", with_panels(R"([{"kind":"footprint"} {|}])"), same_syntax_failure(), no_value()},
        {"bad_literal_in_held_member", with_panels(R"([{"x":trv|e,"kind":"footprint"}])"), same_syntax_failure(), no_value()},
        {"bad_number_in_positional_panel", with_panels(R"([["footprint",-x|]])"), same_syntax_failure(), no_value()},
        {"text_ends_in_panel_list", R"({"dataset_ref":"d","symbol":"S","panels":[|)", same_syntax_failure(), no_value()},
        {"text_ends_after_panel_comma", R"({"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"},|)",
         same_syntax_failure(), no_value()},
        {"text_ends_in_panel", R"({"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"|)", same_syntax_failure(),
         no_value()},
        {"text_ends_in_held_member", R"({"dataset_ref":"d","symbol":"S","panels":[{"x":[1,|)", same_syntax_failure(),
         no_value()},
    };
}

std::vector<ReadCase> nesting_cases() {
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    auto nested_marked = [](std::size_t depth) {
        // Marks the point just after the bracket that opens one level too many.
        return std::string(depth, '[') + "|" + std::string(depth, ']');
    };
    // The spec object, the panel list and the panel take three levels; 124 more fit.
    return {
        {"panel_member_at_the_limit", with_panels(R"([{"kind":"footprint","x":)" + nested(124) + "}]"),
         ok("d=d s=S from=- to=- [footprint(1,60000)]"), ok("d=d s=S from=- to=- [footprint(1,60000)]")},
        {"panel_member_over_the_limit", with_panels(R"([{"kind":"footprint","x":)" + nested_marked(125) + "}]"),
         fails("recursion limit exceeded"), same_syntax_failure()},
        {"positional_panel_over_the_limit", with_panels(R"([["footprint",)" + nested_marked(125) + "]]"),
         fails("recursion limit exceeded"), same_syntax_failure()},
        {"held_parameter_over_the_limit", with_panels(R"([{"price_bin":)" + nested_marked(125) + R"(,"kind":"footprint"}])"),
         fails("recursion limit exceeded"), same_syntax_failure()},
        {"unknown_spec_member_any_depth",
         R"({"x":)" + nested(200) + R"(,"y":{"a":)" + std::string(300, '[') + "{}" + std::string(300, ']') +
             R"(},"dataset_ref":"d","symbol":"S","panels":[]})",
         ok("d=d s=S from=- to=- []"), no_value()},
        {"unknown_spec_member_still_checked", R"({"x":)" + std::string(200, '[') + "1,]|" + std::string(199, ']') + "}",
         fails("trailing comma"), no_value()},
        {"type_failure_on_deep_array_is_not_a_depth_failure",
         R"({"dataset_ref":"d","symbol":|)" + nested(300) + R"(,"panels":[]})",
         fails("invalid type: sequence, expected a string"), no_value()},
    };
}

std::vector<ReadCase> all_cases() {
    std::vector<ReadCase> cases;
    for (auto* group : {&spec_level_cases, &positional_spec_cases, &panel_cases, &nesting_cases}) {
        for (ReadCase& c : (*group)()) cases.push_back(std::move(c));
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
