// Time ordering of a decoded dataset and its time bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "core/dataset/prepare.hpp"

namespace vorn {
namespace {

TEST(PrepareDataset, EqualTimestampsKeepInputOrder) {
    Dataset d;
    // qty tells the records apart
    d.trades = {{5, 1.0, 1.0, TradeSide::Buy}, {3, 1.0, 2.0, TradeSide::Buy}, {5, 1.0, 3.0, TradeSide::Sell},
                {1, 1.0, 4.0, TradeSide::Buy}};
    prepare_dataset(d);
    std::vector<std::int64_t> ts;
    std::vector<double> qty;
    for (const Trade& r : d.trades) {
        ts.push_back(r.ts);
        qty.push_back(r.qty);
    }
    EXPECT_EQ(ts, (std::vector<std::int64_t>{1, 3, 5, 5}));
    EXPECT_EQ(qty, (std::vector<double>{4.0, 2.0, 1.0, 3.0}));
}

// A diff given before a snapshot at the same ts stays first, and every event still finds its
// own levels after the move.
TEST(PrepareDataset, BookEventsKeepOrderAndTheirLevels) {
    Dataset d;
    d.levels = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}};
    d.book = {{20, 0, 1, 1, BookEventKind::Diff},
              {10, 2, 1, 0, BookEventKind::Diff},
              {10, 3, 0, 1, BookEventKind::Snapshot},
              {5, 4, 1, 0, BookEventKind::Snapshot}};
    prepare_dataset(d);
    ASSERT_EQ(d.book.size(), 4u);
    EXPECT_EQ(d.book[0].ts, 5);
    EXPECT_EQ(d.book[1].kind, BookEventKind::Diff);
    EXPECT_EQ(d.book[2].kind, BookEventKind::Snapshot);
    EXPECT_EQ(d.book[3].ts, 20);
    EXPECT_EQ(d.bids(d.book[0])[0].price, 5.0);
    EXPECT_EQ(d.bids(d.book[1])[0].price, 3.0);
    EXPECT_EQ(d.asks(d.book[2])[0].price, 4.0);
    EXPECT_EQ(d.bids(d.book[3])[0].price, 1.0);
    EXPECT_EQ(d.asks(d.book[3])[0].price, 2.0);
}

// Against a reference ordering of (ts, input index), over many ties and several list shapes.
TEST(PrepareDataset, MatchesAStableReferenceOrder) {
    std::mt19937_64 random(7);
    for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 1000u, 50000u}) {
        for (std::int64_t spread : {std::int64_t{1}, std::int64_t{5}, std::int64_t{1} << 40}) {
            Dataset d;
            std::vector<std::pair<std::int64_t, std::size_t>> expected;
            for (std::size_t i = 0; i < n; ++i) {
                std::int64_t ts = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(spread)) - spread / 2;
                d.oi.push_back({ts, static_cast<double>(i)});
                expected.emplace_back(ts, i);
            }
            std::sort(expected.begin(), expected.end());
            prepare_dataset(d);
            ASSERT_EQ(d.oi.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(d.oi[i].ts, expected[i].first);
                ASSERT_EQ(d.oi[i].oi, static_cast<double>(expected[i].second)) << "n=" << n << " spread=" << spread;
            }
        }
    }
}

TEST(PrepareDataset, SortsEveryListAndNegativesFirst) {
    Dataset d;
    d.candles = {{3, 0, 0, 0, 0, 0}, {-3, 0, 0, 0, 0, 0}};
    d.trades = {{2, 0, 0, TradeSide::Buy}, {std::numeric_limits<std::int64_t>::min(), 0, 0, TradeSide::Buy}};
    d.book = {{1, 0, 0, 0, BookEventKind::Diff}, {-1, 0, 0, 0, BookEventKind::Diff}};
    d.funding = {{std::numeric_limits<std::int64_t>::max(), 0}, {0, 0}};
    d.oi = {{9, 0}, {-9, 0}};
    d.liquidations = {{1, 0, 0, LiquidationSide::Long}, {-2, 0, 0, LiquidationSide::Short}};
    prepare_dataset(d);
    EXPECT_EQ(d.candles[0].ts, -3);
    EXPECT_EQ(d.trades[0].ts, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(d.book[0].ts, -1);
    EXPECT_EQ(d.funding[0].ts, 0);
    EXPECT_EQ(d.oi[0].ts, -9);
    EXPECT_EQ(d.liquidations[0].side, LiquidationSide::Short);
}

// The price order noted for each side: strict by ordinary comparison, so a repeated price, a
// NaN or both zeros make a side unordered.
TEST(PrepareDataset, NotesThePriceOrderOfEachSide) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::vector<double> prices;
        LevelOrder order;
    };
    const Case cases[] = {
        {{}, LevelOrder::Ascending},
        {{5.0}, LevelOrder::Ascending},
        {{nan}, LevelOrder::Unordered},
        {{1.0, 2.0, 3.5}, LevelOrder::Ascending},
        {{3.5, 2.0, 1.0}, LevelOrder::Descending},
        {{1.0, 2.0, 2.0}, LevelOrder::Unordered},
        {{1.0, 3.0, 2.0}, LevelOrder::Unordered},
        {{-0.0, 0.0}, LevelOrder::Unordered},
        {{1.0, nan, 2.0}, LevelOrder::Unordered},
        {{2.0, 1.0, nan}, LevelOrder::Unordered},
        {{-1.0, -0.0, 1.0}, LevelOrder::Ascending},
    };
    for (const Case& bids : cases) {
        Dataset d;
        BookEvent e{1, 0, static_cast<std::uint32_t>(bids.prices.size()), 2, BookEventKind::Snapshot};
        for (double p : bids.prices) d.levels.push_back({p, 1.0});
        d.levels.push_back({9.0, 1.0});
        d.levels.push_back({8.0, 0.0});
        d.book.push_back(e);
        prepare_dataset(d);
        EXPECT_EQ(d.book[0].bid_order, bids.order) << bids.prices.size() << " prices";
        EXPECT_EQ(d.book[0].ask_order, LevelOrder::Descending);
    }
}

TEST(ComputeBounds, NoRecordsNoBounds) {
    Dataset d;
    EXPECT_FALSE(compute_bounds(d).has_value());
    // levels alone are no records
    d.levels = {{1, 1}};
    EXPECT_FALSE(compute_bounds(d).has_value());
}

TEST(ComputeBounds, SpanAllListsWhetherSortedOrNot) {
    struct Case {
        const char* name;
        Dataset data;
        std::int64_t from, to;
        std::uint64_t count;
    };
    const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    const std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    std::vector<Case> cases;
    {
        Dataset d;
        d.funding = {{10, 0}, {20, 0}};
        d.candles = {{15, 0, 0, 0, 0, 0}};
        cases.push_back({"funding_and_candle", std::move(d), 10, 20, 3});
    }
    {
        Dataset d;
        d.liquidations = {{42, 0, 0, LiquidationSide::Long}};
        cases.push_back({"single_record", std::move(d), 42, 42, 1});
    }
    {
        Dataset d;
        d.trades = {{5, 0, 0, TradeSide::Buy}, {-7, 0, 0, TradeSide::Buy}, {3, 0, 0, TradeSide::Sell}};
        d.oi = {{-2, 0}};
        cases.push_back({"unsorted_negative", std::move(d), -7, 5, 4});
    }
    {
        Dataset d;
        d.book = {{hi, 0, 0, 0, BookEventKind::Diff}};
        d.oi = {{lo, 0}};
        cases.push_back({"extremes", std::move(d), lo, hi, 2});
    }
    {
        Dataset d;
        d.book = {{hi, 0, 0, 0, BookEventKind::Diff}};
        cases.push_back({"only_largest", std::move(d), hi, hi, 1});
    }
    {
        Dataset d;
        d.candles = {{lo, 0, 0, 0, 0, 0}};
        cases.push_back({"only_smallest", std::move(d), lo, lo, 1});
    }
    for (const Case& c : cases) {
        std::optional<TimeBounds> b = compute_bounds(c.data);
        ASSERT_TRUE(b.has_value()) << c.name;
        EXPECT_EQ(b->from_ts, c.from) << c.name;
        EXPECT_EQ(b->to_ts, c.to) << c.name;
        EXPECT_EQ(b->count, c.count) << c.name;
    }
}

}  // namespace
}  // namespace vorn
