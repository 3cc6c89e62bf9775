#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/panels/panel_limits.hpp"
#include "core/panels/compute_panel.hpp"
#include "panel_test_support.hpp"

namespace vorn {
namespace {

using test::error_text;
using test::panel_value;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Candle candle(std::int64_t ts, double close) { return Candle{ts, 0.0, 0.0, 0.0, close, 0.0}; }

struct DivergenceCase {
    std::string name;
    std::int64_t bucket_ms;
    std::vector<FundingEvent> funding;
    std::vector<OiEvent> oi;
    std::vector<Candle> candles;
    std::vector<std::int64_t> time;
    std::vector<double> funding_out;
    std::vector<double> oi_out;
    std::vector<double> price_out;
};

TEST(FundingOiDivergence, Cases) {
    const DivergenceCase cases[] = {
        {"worked example", 60000,
         {{30000, 0.0001}}, {}, {candle(0, 100.0), candle(120000, 101.0)},
         {0, 60000, 120000}, {0.0001, 0.0001, 0.0001}, {0.0, 0.0, 0.0}, {100.0, 100.0, 101.0}},
        {"a record on a bucket end belongs to the next bucket", 1000,
         {{1000, 0.5}}, {}, {candle(0, 7.0)},
         {0, 1000}, {0.0, 0.5}, {0.0, 0.0}, {7.0, 7.0}},
        {"a late series reports plus zero until its first record", 10,
         {}, {{25, 3.0}, {31, 4.0}}, {candle(0, 1.0)},
         {0, 10, 20, 30}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 3.0, 4.0}, {1.0, 1.0, 1.0, 1.0}},
        {"negative timestamps bucket by floor division", 1000,
         {}, {{-1, 2.0}}, {},
         {-1000}, {0.0}, {2.0}, {0.0}},
        {"a single record gives one bucket", 60000,
         {{123456, 0.25}}, {}, {},
         {120000}, {0.25}, {0.0}, {0.0}},
        {"the last record of a bucket wins", 100,
         {{10, 1.0}, {20, 2.0}, {99, 3.0}, {150, 4.0}}, {}, {},
         {0, 100}, {3.0, 4.0}, {0.0, 0.0}, {0.0, 0.0}},
        {"values are carried through empty buckets", 10,
         {{0, 1.5}, {40, 2.5}}, {{5, 9.0}}, {},
         {0, 10, 20, 30, 40}, {1.5, 1.5, 1.5, 1.5, 2.5}, {9.0, 9.0, 9.0, 9.0, 9.0}, {0.0, 0.0, 0.0, 0.0, 0.0}},
        {"rounded to 8 decimals on output", 1000,
         {{0, 0.000123456789}}, {{0, 1234.567890123}}, {candle(0, -0.000000005)},
         {0}, {0.00012346}, {1234.56789012}, {-0.00000001}},
        {"the span is the widest of the three series", 10,
         {{30, 1.0}}, {{0, 2.0}}, {candle(15, 3.0)},
         {0, 10, 20, 30}, {0.0, 0.0, 0.0, 1.0}, {2.0, 2.0, 2.0, 2.0}, {0.0, 3.0, 3.0, 3.0}},
        {"bucket ends past INT64_MAX still take the last records", 2,
         {}, {}, {candle(kMax - 1, 1.0), candle(kMax, 2.0)},
         {kMax - 1}, {0.0}, {0.0}, {2.0}},
        {"the first bucket may start at INT64_MIN", 1,
         {{kMin, 0.5}}, {}, {},
         {kMin}, {0.5}, {0.0}, {0.0}},
        {"one bucket as wide as all of time", kMax,
         {{kMin + 1, 1.0}}, {{-1, 2.0}}, {},
         {kMin + 1}, {1.0}, {2.0}, {0.0}},
    };
    for (const DivergenceCase& c : cases) {
        Dataset d;
        d.funding.assign(c.funding.begin(), c.funding.end());
        d.oi.assign(c.oi.begin(), c.oi.end());
        d.candles.assign(c.candles.begin(), c.candles.end());
        const auto fd = panel_value<PanelData::FundingOiDivergence>(
            compute_funding_oi_divergence({c.bucket_ms}, whole_window(d)));
        EXPECT_EQ(fd.time, c.time) << c.name;
        EXPECT_SAME_BITS(fd.funding, c.funding_out) << c.name;
        EXPECT_SAME_BITS(fd.oi, c.oi_out) << c.name;
        EXPECT_SAME_BITS(fd.price, c.price_out) << c.name;
    }
}

TEST(FundingOiDivergence, OnlyFundingOiAndCandlesCount) {
    Dataset d;
    d.trades = {{5, 1.0, 1.0, TradeSide::Buy}};
    d.liquidations = {{7, 1.0, 1.0, LiquidationSide::Long}};
    test::snapshot(d, 9, {{1.0, 1.0}}, {{2.0, 1.0}});
    const auto empty = panel_value<PanelData::FundingOiDivergence>(compute_funding_oi_divergence({1}, whole_window(d)));
    EXPECT_TRUE(empty.time.empty() && empty.funding.empty() && empty.oi.empty() && empty.price.empty());

    // Other record lists do not widen the span either.
    d.oi = {{1000, 1.0}};
    const auto one = panel_value<PanelData::FundingOiDivergence>(compute_funding_oi_divergence({1}, whole_window(d)));
    EXPECT_EQ(one.time, std::vector<std::int64_t>{1000});
}

struct LimitCase {
    std::string name;
    std::int64_t first_ts;
    std::int64_t last_ts;
    std::int64_t bucket_ms;
    std::string error;
};

TEST(FundingOiDivergence, ImpossibleSizesFailInOrder) {
    const std::int64_t over = static_cast<std::int64_t>(kMaxPanelCells);  // buckets 0..over: one too many
    const LimitCase cases[] = {
        {"all of time in 1 ms buckets", kMin, kMax, 1, "data: funding_oi_divergence has too many buckets"},
        {"one bucket over the limit", 0, over, 1, "data: funding_oi_divergence has too many buckets"},
        {"one bucket over the limit, wide buckets", -1000, over * 1000 - 1000, 1000,
         "data: funding_oi_divergence has too many buckets"},
        {"first start below INT64_MIN", kMin, kMin + 5, 3, "data: funding_oi_divergence time buckets out of range"},
    };
    for (const LimitCase& c : cases) {
        Dataset d;
        d.funding = {{c.first_ts, 1.0}, {c.last_ts, 2.0}};
        EXPECT_EQ(error_text(compute_funding_oi_divergence({c.bucket_ms}, whole_window(d))), c.error) << c.name;
    }
}

}  // namespace
}  // namespace vorn
