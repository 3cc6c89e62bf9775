#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/panels/clusters/clusters.hpp"
#include "core/panels/compute_panel.hpp"
#include "core/runtime/worker_pool.hpp"
#include "panel_test_support.hpp"

namespace vorn {
namespace {

using test::bits;
using test::panel_value;

Window trades_window(const std::vector<Trade>& trades) {
    Window w;
    w.trades = trades;
    return w;
}

TEST(Clusters, WorkedExample) {
    const std::vector<Trade> trades = {{1000, 100.2, 1.0, TradeSide::Buy},
                                       {1500, 101.7, 2.0, TradeSide::Sell},
                                       {2500, 100.9, 0.5, TradeSide::Buy},
                                       {2600, 100.1, 0.25, TradeSide::Sell}};
    Result<Clusters> c = compute_clusters(1.0, 1000, trades_window(trades));
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c->time, (std::vector<std::int64_t>{1000, 2000}));
    EXPECT_EQ(c->price, (std::vector<double>{100.0, 101.0}));
    EXPECT_EQ(c->buy_vol, (std::vector<double>{1.0, 0.0, 0.5, 0.0}));
    EXPECT_EQ(c->sell_vol, (std::vector<double>{0.0, 2.0, 0.25, 0.0}));
}

TEST(Clusters, OneBucketIsTheFootprintBitForBit) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> price(-5.0, 5.0), qty(0.0, 3.0);
    std::vector<Trade> trades;
    for (int i = 0; i < 20000; ++i) {
        trades.push_back({i, price(rng), qty(rng), (rng() & 1) ? TradeSide::Buy : TradeSide::Sell});
    }
    trades.push_back({20000, -0.0, 1.0, TradeSide::Buy});
    const Window window = trades_window(trades);
    Result<Clusters> c = compute_clusters(0.37, INT64_MAX / 2, window);
    ASSERT_TRUE(c.ok());
    const auto fp = panel_value<PanelData::Footprint>(compute_footprint(VornPanel::Footprint{0.37, 60000}, window));
    ASSERT_EQ(c->time.size(), 1u);
    EXPECT_EQ(bits(c->price), bits(fp.price_bins));
    EXPECT_EQ(bits(c->buy_vol), bits(fp.buy_vol));
    EXPECT_EQ(bits(c->sell_vol), bits(fp.sell_vol));
}

TEST(Clusters, Failures) {
    const std::vector<Trade> trades = {{INT64_MIN, 1.0, 1.0, TradeSide::Buy}};
    EXPECT_EQ(compute_clusters(0.0, 1, trades_window(trades)).error().display(),
              "bad spec: clusters price_bin must be a positive number");
    EXPECT_EQ(compute_clusters(1.0, 0, trades_window(trades)).error().display(), "bad spec: clusters bucket_ms must be > 0");
    EXPECT_EQ(compute_clusters(1.0, 3, trades_window(trades)).error().display(),
              "data: clusters time buckets out of range");
    Result<Clusters> empty = compute_clusters(1.0, 3, trades_window({}));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->time.empty() && empty->buy_vol.empty());
}

TEST(BookHeatmapDetail, SidesMakeUpTheCells) {
    Dataset d;
    test::snapshot(d, 0, {{99.5, 2.0}, {98.5, 1.0}}, {{100.5, 3.0}, {101.5, 0.5}});
    test::diff(d, 1500, {{99.5, 0.0}, {99.2, 4.0}}, {{100.5, 1.25}});
    test::diff(d, 2500, {{100.7, 1.0}}, {});  // a bid in an ask's bin: both sides in one cell
    d.trades = {{900, 100.1, 1.0, TradeSide::Buy}, {2100, 99.9, 1.0, TradeSide::Sell}};
    const Window window = whole_window(d);
    const VornPanel::BookHeatmap params{1.0, 1000, 6};
    const auto plain = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, window));
    const auto detail = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, window, true));
    EXPECT_EQ(bits(plain.intensity), bits(detail.intensity));
    EXPECT_TRUE(plain.bid_intensity.empty() && plain.mid.empty());
    ASSERT_EQ(detail.bid_intensity.size(), detail.intensity.size());
    for (std::size_t i = 0; i < detail.intensity.size(); ++i) {
        if (detail.ask_intensity[i] == 0.0) {
            EXPECT_EQ(bits(detail.intensity[i]), bits(detail.bid_intensity[i])) << i;
        }
        if (detail.bid_intensity[i] == 0.0) {
            EXPECT_EQ(bits(detail.intensity[i]), bits(detail.ask_intensity[i])) << i;
        }
    }
    ASSERT_EQ(detail.last_price.size(), 3u);
    EXPECT_EQ(detail.last_price[0], 100.1);
    EXPECT_EQ(detail.last_price[1], 100.1);
    EXPECT_EQ(detail.last_price[2], 99.9);
    EXPECT_EQ(detail.mid[0], (99.5 + 100.5) / 2);
    EXPECT_EQ(detail.mid[1], (99.2 + 100.5) / 2);
    EXPECT_EQ(detail.mid[2], (100.7 + 100.5) / 2);
}

}  // namespace
}  // namespace vorn
