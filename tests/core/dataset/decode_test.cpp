// Successful decoding: both forms of every record, number conversions, enumerations, book levels.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/dataset/decode.hpp"
#include "tests/core/dataset/value_tree.hpp"

namespace vorn {
namespace {

using test::ValueTree;

Dataset decode_ok(const json::Value& v) {
    Result<Dataset> decoded = decode_dataset(v);
    EXPECT_TRUE(decoded.ok()) << (decoded.ok() ? "" : decoded.error().message);
    return decoded.ok() ? std::move(decoded).value() : Dataset{};
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<PriceLevel> to_vector(std::span<const PriceLevel> s) { return {s.begin(), s.end()}; }
bool same_levels(const std::vector<PriceLevel>& a, const std::vector<PriceLevel>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i].price, b[i].price) || !same_bits(a[i].qty, b[i].qty)) return false;
    }
    return true;
}

TEST(DecodeDataset, EmptyFormsGiveSixEmptyLists) {
    ValueTree t;
    for (json::Value v : {t.obj({}), t.arr({}), t.obj({{"trades", t.arr({})}, {"book", t.arr({})}})}) {
        Dataset d = decode_ok(v);
        EXPECT_EQ(d.record_count(), 0u);
        EXPECT_TRUE(d.levels.empty());
    }
}

TEST(DecodeDataset, UnknownKeysAreSkippedUnread) {
    ValueTree t;
    json::Value trade = t.obj({{"ts", t.i(3)},
                               {"price", t.f(1)},
                               {"qty", t.f(2)},
                               {"side", t.s("sell")},
                               {"note", t.null()},
                               {"a", t.obj({})},
                               {"zz", t.arr({t.null()})}});
    Dataset d = decode_ok(t.obj({{"trades", t.arr({trade})}, {"Trades", t.null()}, {"extra", t.u(1)}, {"", t.s("x")}}));
    ASSERT_EQ(d.trades.size(), 1u);
    EXPECT_EQ(d.trades[0].ts, 3);
    EXPECT_EQ(d.trades[0].side, TradeSide::Sell);
}

TEST(DecodeDataset, PositionalDatasetFillsListsByPosition) {
    ValueTree t;
    json::Value candle = t.arr({t.i(7), t.f(1), t.f(2), t.f(0.5), t.f(1.5), t.f(10)});
    json::Value trade = t.arr({t.i(8), t.f(1), t.f(2), t.s("buy")});
    Dataset two = decode_ok(t.arr({t.arr({candle}), t.arr({trade, trade})}));
    EXPECT_EQ(two.candles.size(), 1u);
    EXPECT_EQ(two.trades.size(), 2u);
    EXPECT_EQ(two.record_count(), 3u);

    json::Value book = t.arr({t.i(1), t.s("diff"), t.arr({}), t.arr({})});
    json::Value funding = t.arr({t.i(2), t.f(0.01)});
    json::Value oi = t.arr({t.i(3), t.f(500)});
    json::Value liq = t.arr({t.i(4), t.f(9), t.f(1), t.s("short")});
    Dataset six = decode_ok(t.arr({t.arr({}), t.arr({}), t.arr({book}), t.arr({funding}), t.arr({oi}), t.arr({liq})}));
    ASSERT_EQ(six.book.size(), 1u);
    ASSERT_EQ(six.funding.size(), 1u);
    ASSERT_EQ(six.oi.size(), 1u);
    ASSERT_EQ(six.liquidations.size(), 1u);
    EXPECT_EQ(six.book[0].kind, BookEventKind::Diff);
    EXPECT_EQ(six.funding[0].ts, 2);
    EXPECT_EQ(six.oi[0].oi, 500.0);
    EXPECT_EQ(six.liquidations[0].side, LiquidationSide::Short);
}

// The object and positional forms of each record decode to the same values.
TEST(DecodeDataset, ObjectAndPositionalRecordsAgree) {
    ValueTree t;
    json::Value object_form = t.obj({
        {"candles", t.arr({t.obj({{"ts", t.i(-5)}, {"open", t.f(1.25)}, {"high", t.u(3)}, {"low", t.i(-1)},
                                  {"close", t.f(2)}, {"volume", t.f(1e-9)}})})},
        {"trades", t.arr({t.obj({{"ts", t.i(6)}, {"price", t.f(101.5)}, {"qty", t.f(0.25)}, {"side", t.s("sell")}})})},
        {"book", t.arr({t.obj({{"ts", t.i(7)}, {"kind", t.s("diff")}, {"bids", t.arr({t.arr({t.f(1), t.f(2)})})},
                               {"asks", t.arr({t.arr({t.f(3), t.f(4)})})}})})},
        {"funding", t.arr({t.obj({{"ts", t.i(8)}, {"rate", t.f(-0.0001)}})})},
        {"oi", t.arr({t.obj({{"ts", t.i(9)}, {"oi", t.f(12345.5)}})})},
        {"liquidations", t.arr({t.obj({{"ts", t.i(10)}, {"price", t.f(99)}, {"qty", t.f(3)}, {"side", t.s("long")}})})},
    });
    json::Value positional_form = t.arr({
        t.arr({t.arr({t.i(-5), t.f(1.25), t.u(3), t.i(-1), t.f(2), t.f(1e-9)})}),
        t.arr({t.arr({t.i(6), t.f(101.5), t.f(0.25), t.s("sell")})}),
        t.arr({t.arr({t.i(7), t.s("diff"), t.arr({t.arr({t.f(1), t.f(2)})}), t.arr({t.arr({t.f(3), t.f(4)})})})}),
        t.arr({t.arr({t.i(8), t.f(-0.0001)})}),
        t.arr({t.arr({t.i(9), t.f(12345.5)})}),
        t.arr({t.arr({t.i(10), t.f(99), t.f(3), t.s("long")})}),
    });
    Dataset a = decode_ok(object_form);
    Dataset b = decode_ok(positional_form);
    ASSERT_EQ(a.record_count(), 6u);
    ASSERT_EQ(b.record_count(), 6u);
    EXPECT_EQ(0, std::memcmp(&a.candles[0], &b.candles[0], sizeof(Candle)));
    EXPECT_EQ(a.candles[0].high, 3.0);
    EXPECT_EQ(a.candles[0].low, -1.0);
    EXPECT_EQ(a.trades[0].ts, b.trades[0].ts);
    EXPECT_EQ(a.trades[0].price, b.trades[0].price);
    EXPECT_EQ(a.trades[0].qty, b.trades[0].qty);
    EXPECT_EQ(a.trades[0].side, b.trades[0].side);
    EXPECT_TRUE(same_levels(to_vector(a.bids(a.book[0])), to_vector(b.bids(b.book[0]))));
    EXPECT_TRUE(same_levels(to_vector(a.asks(a.book[0])), to_vector(b.asks(b.book[0]))));
    EXPECT_EQ(a.book[0].kind, b.book[0].kind);
    EXPECT_EQ(a.funding[0].rate, b.funding[0].rate);
    EXPECT_EQ(a.oi[0].oi, b.oi[0].oi);
    EXPECT_EQ(a.liquidations[0].price, b.liquidations[0].price);
    EXPECT_EQ(a.liquidations[0].side, b.liquidations[0].side);
}

TEST(DecodeDataset, TimestampsAcceptTheWholeSignedRange) {
    ValueTree t;
    const std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    const std::int64_t highest = std::numeric_limits<std::int64_t>::max();
    Dataset d = decode_ok(t.obj({{"funding", t.arr({t.arr({t.i(lowest), t.f(0)}), t.arr({t.i(-1), t.f(0)}),
                                                   t.arr({t.u(0), t.f(0)}), t.arr({t.u(static_cast<std::uint64_t>(highest)), t.f(0)})})}}));
    ASSERT_EQ(d.funding.size(), 4u);
    EXPECT_EQ(d.funding[0].ts, lowest);
    EXPECT_EQ(d.funding[1].ts, -1);
    EXPECT_EQ(d.funding[2].ts, 0);
    EXPECT_EQ(d.funding[3].ts, highest);
}

TEST(DecodeDataset, FloatFieldsTakeEveryNumberKind) {
    ValueTree t;
    struct Case {
        json::Value given;
        double expected;
    };
    // 2^64 - 1 has no exact double: it rounds to 2^64.
    const Case cases[] = {{t.u(100), 100.0},
                          {t.i(-3), -3.0},
                          {t.f(-0.0), -0.0},
                          {t.u(std::numeric_limits<std::uint64_t>::max()), 18446744073709551616.0},
                          {t.i(std::numeric_limits<std::int64_t>::min()), -9223372036854775808.0},
                          {t.u(9007199254740993), 9007199254740992.0},
                          {t.f(5e-324), 5e-324}};
    for (const Case& c : cases) {
        Dataset d = decode_ok(t.obj({{"oi", t.arr({t.arr({t.i(1), c.given})})}}));
        ASSERT_EQ(d.oi.size(), 1u);
        EXPECT_TRUE(same_bits(d.oi[0].oi, c.expected)) << d.oi[0].oi;
    }
}

TEST(DecodeDataset, EnumerationsInBothForms) {
    ValueTree t;
    struct Case {
        json::Value side;
        TradeSide expected;
    };
    const Case cases[] = {{t.s("buy"), TradeSide::Buy},
                          {t.s("sell"), TradeSide::Sell},
                          {t.obj({{"buy", t.null()}}), TradeSide::Buy},
                          {t.obj({{"sell", t.null()}}), TradeSide::Sell},
                          // the tree keeps the last of a repeated key, leaving one key
                          {t.obj({{"sell", t.u(1)}, {"sell", t.null()}}), TradeSide::Sell}};
    for (const Case& c : cases) {
        Dataset d = decode_ok(t.obj({{"trades", t.arr({t.arr({t.i(1), t.f(1), t.f(1), c.side})})}}));
        ASSERT_EQ(d.trades.size(), 1u);
        EXPECT_EQ(d.trades[0].side, c.expected);
    }
    Dataset other = decode_ok(t.obj({
        {"liquidations", t.arr({t.arr({t.i(1), t.f(1), t.f(1), t.obj({{"short", t.null()}})}),
                                t.arr({t.i(1), t.f(1), t.f(1), t.s("long")})})},
        {"book", t.arr({t.arr({t.i(1), t.obj({{"diff", t.null()}}), t.arr({}), t.arr({})}),
                        t.arr({t.i(1), t.s("snapshot"), t.arr({}), t.arr({})})})},
    }));
    EXPECT_EQ(other.liquidations[0].side, LiquidationSide::Short);
    EXPECT_EQ(other.liquidations[1].side, LiquidationSide::Long);
    EXPECT_EQ(other.book[0].kind, BookEventKind::Diff);
    EXPECT_EQ(other.book[1].kind, BookEventKind::Snapshot);
}

// Bids and asks of every event come back as given, whichever form the event has, with the pool
// holding exactly the levels of the input.
TEST(DecodeDataset, BookLevelsKeepOrderAndSide) {
    ValueTree t;
    auto lv = [&t](double p, double q) { return t.arr({t.f(p), t.f(q)}); };
    json::Value events = t.arr({
        t.obj({{"ts", t.i(1)}, {"kind", t.s("snapshot")}, {"bids", t.arr({lv(10, 1), lv(9, 2), lv(11, 3)})},
               {"asks", t.arr({lv(12, 4), lv(13, 5)})}}),
        t.arr({t.i(2), t.s("diff"), t.arr({lv(8, 6)}), t.arr({lv(14, 7), lv(15, 8)})}),
        t.obj({{"ts", t.i(3)}, {"kind", t.s("diff")}, {"bids", t.arr({})}, {"asks", t.arr({lv(16, 9)})}}),
        t.obj({{"ts", t.i(4)}, {"kind", t.s("diff")}, {"bids", t.arr({lv(7, 10)})}, {"asks", t.arr({})}}),
        t.obj({{"ts", t.i(5)}, {"kind", t.s("diff")}, {"bids", t.arr({})}, {"asks", t.arr({})}}),
        t.obj({{"ts", t.i(6)}, {"kind", t.s("diff")}, {"asks", t.arr({lv(17, 11)})}, {"bids", t.arr({lv(6, 12), lv(5, 13)})},
               {"extra", t.arr({lv(0, 0)})}}),
    });
    Dataset d = decode_ok(t.obj({{"book", events}}));
    ASSERT_EQ(d.book.size(), 6u);
    const std::vector<std::vector<PriceLevel>> bids = {{{10, 1}, {9, 2}, {11, 3}}, {{8, 6}}, {}, {{7, 10}}, {}, {{6, 12}, {5, 13}}};
    const std::vector<std::vector<PriceLevel>> asks = {{{12, 4}, {13, 5}}, {{14, 7}, {15, 8}}, {{16, 9}}, {}, {}, {{17, 11}}};
    for (std::size_t i = 0; i < d.book.size(); ++i) {
        EXPECT_EQ(d.book[i].ts, static_cast<std::int64_t>(i + 1));
        EXPECT_TRUE(same_levels(to_vector(d.bids(d.book[i])), bids[i])) << "event " << i;
        EXPECT_TRUE(same_levels(to_vector(d.asks(d.book[i])), asks[i])) << "event " << i;
    }
    EXPECT_EQ(d.levels.size(), 13u);
    EXPECT_EQ(d.levels.capacity(), d.levels.size());
}

// Levels are bare pairs of numbers: duplicates, zero quantities and unsorted prices stay as given.
TEST(DecodeDataset, LevelsAreNeitherSortedNorMerged) {
    ValueTree t;
    json::Value bids = t.arr({t.arr({t.u(5), t.f(0)}), t.arr({t.u(5), t.f(0)}), t.arr({t.i(-1), t.f(-2)}), t.arr({t.f(6), t.u(1)})});
    Dataset d = decode_ok(t.obj({{"book", t.arr({t.arr({t.i(1), t.s("diff"), bids, t.arr({})})})}}));
    ASSERT_EQ(d.book.size(), 1u);
    EXPECT_TRUE(same_levels(to_vector(d.bids(d.book[0])), {{5, 0}, {5, 0}, {-1, -2}, {6, 1}}));
    EXPECT_TRUE(d.asks(d.book[0]).empty());
}

// Many records in each list: memory is reserved from the input, and nothing is lost or reordered.
TEST(DecodeDataset, LargeListsDecodeCompletely) {
    ValueTree t;
    const int n = 20000;
    std::vector<json::Value> trades;
    std::vector<json::Value> book;
    for (int i = 0; i < n; ++i) {
        trades.push_back(t.arr({t.i(n - i), t.f(i * 0.5), t.f(1), t.s(i % 2 ? "sell" : "buy")}));
        std::vector<json::Value> bids;
        for (int k = 0; k < i % 4; ++k) bids.push_back(t.arr({t.f(i), t.f(k)}));
        book.push_back(t.obj({{"ts", t.i(i)}, {"kind", t.s("diff")}, {"bids", t.arr(std::move(bids))},
                              {"asks", t.arr({t.arr({t.f(-i), t.f(1)})})}}));
    }
    Dataset d = decode_ok(t.obj({{"trades", t.arr(std::move(trades))}, {"book", t.arr(std::move(book))}}));
    ASSERT_EQ(d.trades.size(), static_cast<std::size_t>(n));
    ASSERT_EQ(d.book.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(d.trades.capacity(), d.trades.size());
    std::size_t levels = 0;
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(d.trades[i].ts, n - i);
        ASSERT_EQ(d.trades[i].side, i % 2 ? TradeSide::Sell : TradeSide::Buy);
        const BookEvent& e = d.book[i];
        ASSERT_EQ(e.bid_count, static_cast<std::uint32_t>(i % 4));
        ASSERT_EQ(e.ask_count, 1u);
        ASSERT_EQ(e.first_level, levels);
        for (std::uint32_t k = 0; k < e.bid_count; ++k) ASSERT_EQ(d.bids(e)[k].qty, static_cast<double>(k));
        ASSERT_EQ(d.asks(e)[0].price, static_cast<double>(-i));
        levels += e.bid_count + e.ask_count;
    }
    EXPECT_EQ(d.levels.size(), levels);
}

}  // namespace
}  // namespace vorn
