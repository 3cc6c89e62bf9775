#include "core/features/bars.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "core/dataset/dataset.hpp"
#include "core/dataset/window.hpp"

namespace vorn {
namespace {

TEST(Bars, OhlcVolumesAndEmptyBuckets) {
    Dataset d;
    d.trades.push_back(Trade{10, 101.0, 1.0, TradeSide::Buy});
    d.trades.push_back(Trade{12, 103.0, 2.0, TradeSide::Sell});
    d.trades.push_back(Trade{12, 100.0, 1.0, TradeSide::Buy});  // same ms: record order decides close
    d.trades.push_back(Trade{35, 99.0, 4.0, TradeSide::Sell});
    d.trades.push_back(Trade{45, 1.0, 1.0, TradeSide::Buy});  // beyond the grid: not counted
    d.liquidations.push_back(LiquidationEvent{11, 100.0, 0.5, LiquidationSide::Long});
    d.liquidations.push_back(LiquidationEvent{31, 100.0, 0.25, LiquidationSide::Short});
    d.funding.push_back(FundingEvent{20, 0.001});  // on the end of the first bucket: from the second on
    d.oi.push_back(OiEvent{5, 7.0});
    Result<Bars> b = compute_bars(whole_window(d), 10, 10, 3);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->open[0], 101.0);
    EXPECT_EQ(b->high[0], 103.0);
    EXPECT_EQ(b->low[0], 100.0);
    EXPECT_EQ(b->close[0], 100.0);
    EXPECT_EQ(b->volume[0], 4.0);
    EXPECT_EQ(b->buy_volume[0], 2.0);
    EXPECT_EQ(b->sell_volume[0], 2.0);
    EXPECT_EQ(b->delta[0], 0.0);
    EXPECT_EQ(b->trades[0], 3);
    EXPECT_EQ(b->vwap[0], (101.0 + 206.0 + 100.0) / 4.0);
    EXPECT_EQ(b->liquidated_long[0], 0.5);
    // The empty middle bucket: zeros and NaN.
    EXPECT_EQ(b->trades[1], 0);
    EXPECT_EQ(b->volume[1], 0.0);
    EXPECT_TRUE(std::isnan(b->open[1]));
    EXPECT_TRUE(std::isnan(b->vwap[1]));
    EXPECT_EQ(b->cum_delta[2], -4.0);
    EXPECT_EQ(b->liquidated_short[2], 0.25);
    EXPECT_TRUE(std::isnan(b->funding_rate[0]));
    EXPECT_EQ(b->funding_rate[1], 0.001);
    EXPECT_EQ(b->open_interest[0], 7.0);
}

TEST(Bars, BadGrids) {
    Dataset d;
    EXPECT_FALSE(compute_bars(whole_window(d), 0, 0, 1));
    EXPECT_FALSE(compute_bars(whole_window(d), INT64_MAX - 5, 10, 1));
    Result<Bars> none = compute_bars(whole_window(d), 0, 10, 0);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->open.empty());
}

}  // namespace
}  // namespace vorn
