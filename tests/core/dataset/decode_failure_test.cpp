// Every failure text of dataset decoding, and which fault wins when several are present.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "core/dataset/decode.hpp"
#include "tests/core/dataset/value_tree.hpp"

namespace vorn {
namespace {

using test::ValueTree;
using Build = std::function<json::Value(ValueTree&)>;

struct FailureCase {
    const char* name;
    Build build;
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

// {"<list>": [record]}
json::Value one(ValueTree& t, std::string_view list, json::Value record) { return t.obj({{list, t.arr({record})}}); }

json::Value trade(ValueTree& t, json::Value ts, json::Value price, json::Value qty, json::Value side) {
    return t.obj({{"ts", ts}, {"price", price}, {"qty", qty}, {"side", side}});
}
json::Value trade_side(ValueTree& t, json::Value side) { return one(t, "trades", trade(t, t.i(1), t.f(1.0), t.f(1.0), side)); }
json::Value trade_ts(ValueTree& t, json::Value ts) { return one(t, "trades", trade(t, ts, t.f(1.0), t.f(1.0), t.s("buy"))); }
json::Value trade_price(ValueTree& t, json::Value price) {
    return one(t, "trades", trade(t, t.i(1), price, t.f(1.0), t.s("buy")));
}
json::Value book_bids(ValueTree& t, json::Value bids) {
    return one(t, "book", t.obj({{"ts", t.i(1)}, {"kind", t.s("snapshot")}, {"bids", bids}, {"asks", t.arr({})}}));
}
json::Value level(ValueTree& t, std::vector<json::Value> entries) { return t.arr(std::move(entries)); }

class DecodeFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DecodeFailure, ReportsExactMessageAndKeepsNothing) {
    ValueTree t;
    json::Value input = GetParam().build(t);
    Result<Dataset> decoded = decode_dataset(input);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().kind, ErrorKind::Parse);
    EXPECT_EQ(decoded.error().message, GetParam().message);
}

const std::uint64_t kAboveI64 = std::uint64_t{1} << 63;

INSTANTIATE_TEST_SUITE_P(
    DatasetValue, DecodeFailure,
    ::testing::Values(
        FailureCase{"null", [](ValueTree& t) { return t.null(); }, "invalid type: null, expected struct Dataset"},
        FailureCase{"integer", [](ValueTree& t) { return t.u(5); }, "invalid type: integer `5`, expected struct Dataset"},
        FailureCase{"string", [](ValueTree& t) { return t.s("d"); }, "invalid type: string \"d\", expected struct Dataset"},
        FailureCase{"boolean", [](ValueTree& t) { return t.boolean(false); },
                    "invalid type: boolean `false`, expected struct Dataset"},
        FailureCase{"seven_lists",
                    [](ValueTree& t) {
                        return t.arr({t.arr({}), t.arr({}), t.arr({}), t.arr({}), t.arr({}), t.arr({}), t.arr({})});
                    },
                    "invalid length 7, expected fewer elements in array"},
        // The seventh element is never decoded, so its own fault does not show.
        FailureCase{"seventh_element_unread",
                    [](ValueTree& t) {
                        return t.arr({t.arr({}), t.arr({}), t.arr({}), t.arr({}), t.arr({}), t.arr({}), t.null()});
                    },
                    "invalid length 7, expected fewer elements in array"},
        // A fault in one of the six lists comes before the length.
        FailureCase{"element_before_length",
                    [](ValueTree& t) {
                        return t.arr({t.arr({}), t.null(), t.arr({}), t.arr({}), t.arr({}), t.arr({}), t.arr({})});
                    },
                    "invalid type: null, expected a sequence"},
        FailureCase{"positional_list_null", [](ValueTree& t) { return t.arr({t.arr({}), t.arr({}), t.u(3)}); },
                    "invalid type: integer `3`, expected a sequence"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Lists, DecodeFailure,
    ::testing::Values(
        FailureCase{"trades_null", [](ValueTree& t) { return t.obj({{"trades", t.null()}}); },
                    "invalid type: null, expected a sequence"},
        FailureCase{"book_map", [](ValueTree& t) { return t.obj({{"book", t.obj({})}}); },
                    "invalid type: map, expected a sequence"},
        FailureCase{"oi_string", [](ValueTree& t) { return t.obj({{"oi", t.s("[]")}}); },
                    "invalid type: string \"[]\", expected a sequence"},
        FailureCase{"candle_scalar", [](ValueTree& t) { return one(t, "candles", t.u(1)); },
                    "invalid type: integer `1`, expected struct Candle"},
        FailureCase{"trade_scalar", [](ValueTree& t) { return one(t, "trades", t.null()); },
                    "invalid type: null, expected struct Trade"},
        FailureCase{"book_scalar", [](ValueTree& t) { return one(t, "book", t.s("x")); },
                    "invalid type: string \"x\", expected struct BookEvent"},
        FailureCase{"funding_scalar", [](ValueTree& t) { return one(t, "funding", t.f(0.5)); },
                    "invalid type: floating point `0.5`, expected struct FundingEvent"},
        FailureCase{"oi_scalar", [](ValueTree& t) { return one(t, "oi", t.boolean(true)); },
                    "invalid type: boolean `true`, expected struct OiEvent"},
        FailureCase{"liquidation_scalar", [](ValueTree& t) { return one(t, "liquidations", t.i(-2)); },
                    "invalid type: integer `-2`, expected struct LiquidationEvent"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    PositionalRecords, DecodeFailure,
    ::testing::Values(
        FailureCase{"candle_short",
                    [](ValueTree& t) { return one(t, "candles", t.arr({t.i(1), t.f(1), t.f(1), t.f(1), t.f(1)})); },
                    "invalid length 5, expected struct Candle with 6 elements"},
        FailureCase{"trade_short", [](ValueTree& t) { return one(t, "trades", t.arr({t.i(1), t.f(1), t.f(1)})); },
                    "invalid length 3, expected struct Trade with 4 elements"},
        FailureCase{"trade_empty", [](ValueTree& t) { return one(t, "trades", t.arr({})); },
                    "invalid length 0, expected struct Trade with 4 elements"},
        FailureCase{"book_short", [](ValueTree& t) { return one(t, "book", t.arr({t.i(1), t.s("diff"), t.arr({})})); },
                    "invalid length 3, expected struct BookEvent with 4 elements"},
        FailureCase{"funding_short", [](ValueTree& t) { return one(t, "funding", t.arr({t.i(1)})); },
                    "invalid length 1, expected struct FundingEvent with 2 elements"},
        FailureCase{"oi_empty", [](ValueTree& t) { return one(t, "oi", t.arr({})); },
                    "invalid length 0, expected struct OiEvent with 2 elements"},
        FailureCase{"liquidation_short",
                    [](ValueTree& t) { return one(t, "liquidations", t.arr({t.i(1), t.f(1), t.f(1)})); },
                    "invalid length 3, expected struct LiquidationEvent with 4 elements"},
        FailureCase{"trade_long",
                    [](ValueTree& t) { return one(t, "trades", t.arr({t.i(1), t.f(1), t.f(1), t.s("buy"), t.null()})); },
                    "invalid length 5, expected fewer elements in array"},
        FailureCase{"funding_long", [](ValueTree& t) { return one(t, "funding", t.arr({t.i(1), t.f(1), t.f(2)})); },
                    "invalid length 3, expected fewer elements in array"},
        // Present elements decode first: a bad field beats a short or long array.
        FailureCase{"short_with_bad_field",
                    [](ValueTree& t) { return one(t, "trades", t.arr({t.i(1), t.s("p")})); },
                    "invalid type: string \"p\", expected f64"},
        FailureCase{"long_with_bad_field",
                    [](ValueTree& t) {
                        return one(t, "trades", t.arr({t.i(1), t.f(1), t.f(1), t.s("hold"), t.u(9)}));
                    },
                    "unknown variant `hold`, expected `buy` or `sell`"},
        FailureCase{"fields_in_position_order",
                    [](ValueTree& t) { return one(t, "trades", t.arr({t.f(1.5), t.s("p"), t.f(1), t.s("buy")})); },
                    "invalid type: floating point `1.5`, expected i64"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    MissingFields, DecodeFailure,
    ::testing::Values(
        FailureCase{"trade_empty_object", [](ValueTree& t) { return one(t, "trades", t.obj({})); }, "missing field `ts`"},
        FailureCase{"trade_without_price",
                    [](ValueTree& t) { return one(t, "trades", t.obj({{"ts", t.i(1)}, {"side", t.s("buy")}})); },
                    "missing field `price`"},
        FailureCase{"candle_without_volume",
                    [](ValueTree& t) {
                        return one(t, "candles", t.obj({{"ts", t.i(1)}, {"open", t.f(1)}, {"high", t.f(1)},
                                                        {"low", t.f(1)}, {"close", t.f(1)}}));
                    },
                    "missing field `volume`"},
        FailureCase{"candle_without_high_and_low",
                    [](ValueTree& t) {
                        return one(t, "candles", t.obj({{"ts", t.i(1)}, {"open", t.f(1)}, {"close", t.f(1)},
                                                        {"volume", t.f(1)}}));
                    },
                    "missing field `high`"},
        // Declared order ts, kind, bids, asks, not key order.
        FailureCase{"book_without_kind_and_asks",
                    [](ValueTree& t) { return one(t, "book", t.obj({{"ts", t.i(1)}, {"bids", t.arr({})}})); },
                    "missing field `kind`"},
        FailureCase{"book_without_bids",
                    [](ValueTree& t) {
                        return one(t, "book", t.obj({{"ts", t.i(1)}, {"kind", t.s("diff")}, {"asks", t.arr({})}}));
                    },
                    "missing field `bids`"},
        FailureCase{"funding_without_rate", [](ValueTree& t) { return one(t, "funding", t.obj({{"ts", t.i(1)}})); },
                    "missing field `rate`"},
        FailureCase{"oi_without_ts", [](ValueTree& t) { return one(t, "oi", t.obj({{"oi", t.f(1)}})); },
                    "missing field `ts`"},
        FailureCase{"liquidation_without_side",
                    [](ValueTree& t) {
                        return one(t, "liquidations", t.obj({{"ts", t.i(1)}, {"price", t.f(1)}, {"qty", t.f(1)}}));
                    },
                    "missing field `side`"},
        // A key that merely resembles a field does not count as it.
        FailureCase{"case_differs", [](ValueTree& t) { return one(t, "funding", t.obj({{"TS", t.i(1)}, {"rate", t.f(1)}})); },
                    "missing field `ts`"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Precedence, DecodeFailure,
    ::testing::Values(
        FailureCase{"bad_field_before_missing_field",
                    [](ValueTree& t) {
                        return one(t, "trades", t.obj({{"price", t.s("x")}, {"qty", t.f(1)}, {"side", t.s("buy")}}));
                    },
                    "invalid type: string \"x\", expected f64"},
        // Keys in byte order: "qty" before "side" before "ts".
        FailureCase{"record_keys_in_byte_order",
                    [](ValueTree& t) {
                        return one(t, "trades", t.obj({{"ts", t.f(2.5)}, {"side", t.s("up")}, {"qty", t.null()}}));
                    },
                    "invalid type: null, expected f64"},
        FailureCase{"asks_before_bids",
                    [](ValueTree& t) {
                        return one(t, "book", t.obj({{"ts", t.i(1)}, {"kind", t.s("diff")}, {"bids", t.null()},
                                                     {"asks", t.u(4)}}));
                    },
                    "invalid type: integer `4`, expected a sequence"},
        // Dataset keys in byte order: book, candles, funding, liquidations, oi, trades.
        FailureCase{"book_before_candles",
                    [](ValueTree& t) { return t.obj({{"candles", t.u(1)}, {"trades", t.u(2)}, {"book", t.u(3)}}); },
                    "invalid type: integer `3`, expected a sequence"},
        FailureCase{"liquidations_before_oi",
                    [](ValueTree& t) { return t.obj({{"oi", t.u(1)}, {"liquidations", t.u(2)}, {"trades", t.u(3)}}); },
                    "invalid type: integer `2`, expected a sequence"},
        FailureCase{"records_in_array_order",
                    [](ValueTree& t) { return t.obj({{"oi", t.arr({t.obj({{"ts", t.i(1)}, {"oi", t.f(1)}}), t.u(7), t.u(8)})}}); },
                    "invalid type: integer `7`, expected struct OiEvent"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Numbers, DecodeFailure,
    ::testing::Values(
        FailureCase{"ts_fraction", [](ValueTree& t) { return trade_ts(t, t.f(1.5)); },
                    "invalid type: floating point `1.5`, expected i64"},
        FailureCase{"ts_whole_float", [](ValueTree& t) { return trade_ts(t, t.f(1000.0)); },
                    "invalid type: floating point `1000.0`, expected i64"},
        FailureCase{"ts_minus_zero", [](ValueTree& t) { return trade_ts(t, t.f(-0.0)); },
                    "invalid type: floating point `-0.0`, expected i64"},
        FailureCase{"ts_huge_float", [](ValueTree& t) { return trade_ts(t, t.f(18446744073709551616.0)); },
                    "invalid type: floating point `1.8446744073709552e+19`, expected i64"},
        FailureCase{"ts_above_i64", [](ValueTree& t) { return trade_ts(t, t.u(kAboveI64)); },
                    "invalid value: integer `9223372036854775808`, expected i64"},
        FailureCase{"ts_u64_max", [](ValueTree& t) { return trade_ts(t, t.u(std::numeric_limits<std::uint64_t>::max())); },
                    "invalid value: integer `18446744073709551615`, expected i64"},
        FailureCase{"ts_string", [](ValueTree& t) { return trade_ts(t, t.s("5")); },
                    "invalid type: string \"5\", expected i64"},
        FailureCase{"ts_null", [](ValueTree& t) { return trade_ts(t, t.null()); }, "invalid type: null, expected i64"},
        FailureCase{"ts_array", [](ValueTree& t) { return trade_ts(t, t.arr({t.u(1)})); },
                    "invalid type: sequence, expected i64"},
        FailureCase{"price_string", [](ValueTree& t) { return trade_price(t, t.s("100")); },
                    "invalid type: string \"100\", expected f64"},
        FailureCase{"price_boolean", [](ValueTree& t) { return trade_price(t, t.boolean(true)); },
                    "invalid type: boolean `true`, expected f64"},
        FailureCase{"price_null", [](ValueTree& t) { return trade_price(t, t.null()); }, "invalid type: null, expected f64"},
        FailureCase{"price_map", [](ValueTree& t) { return trade_price(t, t.obj({})); }, "invalid type: map, expected f64"},
        FailureCase{"candle_volume",
                    [](ValueTree& t) {
                        return one(t, "candles", t.arr({t.i(1), t.f(1), t.f(1), t.f(1), t.f(1), t.arr({})}));
                    },
                    "invalid type: sequence, expected f64"},
        FailureCase{"funding_rate", [](ValueTree& t) { return one(t, "funding", t.arr({t.i(1), t.s("0.01")})); },
                    "invalid type: string \"0.01\", expected f64"},
        FailureCase{"oi_ts", [](ValueTree& t) { return one(t, "oi", t.arr({t.f(2e3), t.f(1)})); },
                    "invalid type: floating point `2000.0`, expected i64"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Enumerations, DecodeFailure,
    ::testing::Values(
        FailureCase{"capitals", [](ValueTree& t) { return trade_side(t, t.s("BUY")); },
                    "unknown variant `BUY`, expected `buy` or `sell`"},
        FailureCase{"padded", [](ValueTree& t) { return trade_side(t, t.s(" buy")); },
                    "unknown variant ` buy`, expected `buy` or `sell`"},
        FailureCase{"empty_name", [](ValueTree& t) { return trade_side(t, t.s("")); },
                    "unknown variant ``, expected `buy` or `sell`"},
        FailureCase{"number", [](ValueTree& t) { return trade_side(t, t.u(0)); },
                    "invalid type: integer `0`, expected string or map"},
        FailureCase{"null", [](ValueTree& t) { return trade_side(t, t.null()); },
                    "invalid type: null, expected string or map"},
        FailureCase{"sequence", [](ValueTree& t) { return trade_side(t, t.arr({t.s("buy")})); },
                    "invalid type: sequence, expected string or map"},
        FailureCase{"empty_map", [](ValueTree& t) { return trade_side(t, t.obj({})); },
                    "invalid value: map, expected map with a single key"},
        FailureCase{"two_keys", [](ValueTree& t) { return trade_side(t, t.obj({{"buy", t.null()}, {"sell", t.null()}})); },
                    "invalid value: map, expected map with a single key"},
        FailureCase{"unit_not_null", [](ValueTree& t) { return trade_side(t, t.obj({{"buy", t.u(1)}})); },
                    "invalid type: integer `1`, expected unit"},
        FailureCase{"unit_empty_map", [](ValueTree& t) { return trade_side(t, t.obj({{"sell", t.obj({})}})); },
                    "invalid type: map, expected unit"},
        // The variant name is judged before its value.
        FailureCase{"name_before_unit", [](ValueTree& t) { return trade_side(t, t.obj({{"Buy", t.u(1)}})); },
                    "unknown variant `Buy`, expected `buy` or `sell`"},
        FailureCase{"liquidation_side_of_trade",
                    [](ValueTree& t) {
                        return one(t, "liquidations", t.arr({t.i(1), t.f(1), t.f(1), t.s("buy")}));
                    },
                    "unknown variant `buy`, expected `long` or `short`"},
        FailureCase{"liquidation_side_map",
                    [](ValueTree& t) {
                        return one(t, "liquidations", t.arr({t.i(1), t.f(1), t.f(1), t.obj({{"long", t.boolean(false)}})}));
                    },
                    "invalid type: boolean `false`, expected unit"},
        FailureCase{"book_kind",
                    [](ValueTree& t) { return one(t, "book", t.arr({t.i(1), t.s("Snapshot"), t.arr({}), t.arr({})})); },
                    "unknown variant `Snapshot`, expected `snapshot` or `diff`"},
        FailureCase{"book_kind_float",
                    [](ValueTree& t) { return one(t, "book", t.arr({t.i(1), t.f(1.0), t.arr({}), t.arr({})})); },
                    "invalid type: floating point `1.0`, expected string or map"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Levels, DecodeFailure,
    ::testing::Values(
        FailureCase{"side_null", [](ValueTree& t) { return book_bids(t, t.null()); }, "invalid type: null, expected a sequence"},
        FailureCase{"side_map", [](ValueTree& t) { return book_bids(t, t.obj({})); }, "invalid type: map, expected a sequence"},
        FailureCase{"level_number", [](ValueTree& t) { return book_bids(t, t.arr({t.f(1.5)})); },
                    "invalid type: floating point `1.5`, expected an array of length 2"},
        FailureCase{"level_map", [](ValueTree& t) { return book_bids(t, t.arr({t.obj({{"price", t.f(1)}})})); },
                    "invalid type: map, expected an array of length 2"},
        FailureCase{"level_empty", [](ValueTree& t) { return book_bids(t, t.arr({level(t, {})})); },
                    "invalid length 0, expected an array of length 2"},
        FailureCase{"level_one", [](ValueTree& t) { return book_bids(t, t.arr({level(t, {t.f(1)})})); },
                    "invalid length 1, expected an array of length 2"},
        FailureCase{"level_three", [](ValueTree& t) { return book_bids(t, t.arr({level(t, {t.f(1), t.f(2), t.f(3)})})); },
                    "invalid length 3, expected fewer elements in array"},
        // The third entry is never decoded.
        FailureCase{"level_three_bad_third",
                    [](ValueTree& t) { return book_bids(t, t.arr({level(t, {t.f(1), t.f(2), t.s("x")})})); },
                    "invalid length 3, expected fewer elements in array"},
        FailureCase{"level_one_bad_price", [](ValueTree& t) { return book_bids(t, t.arr({level(t, {t.s("p")})})); },
                    "invalid type: string \"p\", expected f64"},
        FailureCase{"level_bad_qty", [](ValueTree& t) { return book_bids(t, t.arr({level(t, {t.f(1), t.null(), t.f(3)})})); },
                    "invalid type: null, expected f64"},
        FailureCase{"second_level_bad",
                    [](ValueTree& t) { return book_bids(t, t.arr({level(t, {t.f(1), t.f(2)}), t.u(3)})); },
                    "invalid type: integer `3`, expected an array of length 2"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn
