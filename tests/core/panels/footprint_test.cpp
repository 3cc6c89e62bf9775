#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/panels/arithmetic/bin_price.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/compute_panel.hpp"
#include "panel_test_support.hpp"

namespace vorn {
namespace {

using test::panel_value;
constexpr TradeSide B = TradeSide::Buy;
constexpr TradeSide S = TradeSide::Sell;

struct FootprintCase {
    std::string name;
    double price_bin;
    std::vector<Trade> trades;
    std::vector<double> price_bins;
    std::vector<double> buy_vol;
    std::vector<double> sell_vol;
};

TEST(Footprint, Cases) {
    const FootprintCase cases[] = {
        {"no trades", 1.0, {}, {}, {}, {}},
        {"worked example", 1.0,
         {{1, 100.2, 1.0, B}, {2, 100.7, 2.0, S}, {3, 101.3, 0.5, B}},
         {100.0, 101.0}, {1.0, 0.5}, {2.0, 0.0}},
        {"0.3 and 0.7 with width 0.1 fall in the bins below", 0.1,
         {{1, 0.3, 1.0, B}, {2, 0.7, 2.0, B}},
         {0.2, 0.6}, {1.0, 2.0}, {0.0, 0.0}},
        {"1.15 with width 0.05", 0.05, {{1, 1.15, 1.0, S}}, {1.1}, {0.0}, {1.0}},
        {"negative price bins below", 10.0, {{1, -3.0, 1.0, B}}, {-10.0}, {1.0}, {0.0}},
        {"sells only: buy volume is plus zero", 1.0, {{1, 5.5, 2.0, S}, {2, 5.1, 1.0, S}}, {5.0}, {0.0}, {3.0}},
        {"minus zero and plus zero are two bins, minus zero first", 1.0,
         {{1, 0.0, 1.0, B}, {2, -0.0, 2.0, B}},
         {-0.0, 0.0}, {2.0, 1.0}, {0.0, 0.0}},
        {"bins ascend whatever the trade order", 1.0,
         {{1, 103.0, 1.0, B}, {2, -1.5, 1.0, S}, {3, 101.0, 1.0, B}, {4, 103.9, 1.0, S}},
         {-2.0, 101.0, 103.0}, {0.0, 1.0, 1.0}, {1.0, 0.0, 1.0}},
        // 1 + 1e16 is 1e16 in doubles: summed in trade order the 1 is lost; 1e16 - 1e16 + 1 would keep it.
        {"sums follow trade order", 1.0,
         {{1, 7.0, 1.0, B}, {2, 7.5, 1e16, B}, {3, 7.0, -1e16, B}},
         {7.0}, {0.0}, {0.0}},
        {"zero and negative quantities are added and the bin is listed", 1.0,
         {{1, 2.0, 0.0, B}, {2, 3.0, -1.5, S}, {3, 3.0, 0.5, S}},
         {2.0, 3.0}, {0.0, 0.0}, {0.0, -1.0}},
        {"volumes are rounded to 8 decimals", 1.0, {{1, 1.0, 0.123456789, B}, {2, 1.0, 0.1, B}},
         {1.0}, {0.22345679}, {0.0}},
        {"repeated prices reuse their bin", 1.0,
         {{1, 9.0, 1.0, B}, {2, 9.0, 1.0, S}, {3, 9.0, 1.0, B}, {4, 8.0, 1.0, B}, {5, 9.0, 1.0, B}},
         {8.0, 9.0}, {1.0, 3.0}, {0.0, 1.0}},
    };
    for (const FootprintCase& c : cases) {
        Dataset d;
        d.trades.assign(c.trades.begin(), c.trades.end());
        const auto fp = panel_value<PanelData::Footprint>(compute_footprint({c.price_bin, 60000}, whole_window(d)));
        EXPECT_SAME_BITS(fp.price_bins, c.price_bins) << c.name;
        EXPECT_SAME_BITS(fp.buy_vol, c.buy_vol) << c.name;
        EXPECT_SAME_BITS(fp.sell_vol, c.sell_vol) << c.name;
    }
}

TEST(Footprint, ManyBinsMatchAnOrderedMap) {
    // Thousands of bins make the hash map grow and collide; the result must equal the plain
    // ordered-map computation bit for bit.
    std::mt19937_64 rng(3);
    Dataset d;
    std::uniform_real_distribution<double> price(-5000.0, 5000.0);
    std::uniform_real_distribution<double> qty(-1.0, 3.0);
    for (int i = 0; i < 50000; ++i) d.trades.push_back({i, price(rng), qty(rng), (rng() & 1) ? B : S});
    for (const double w : {0.5, 3.0, 0.1}) {
        struct Sums {
            double buy = 0.0, sell = 0.0;
        };
        std::map<std::uint64_t, Sums> reference;
        for (const Trade& t : d.trades) {
            Sums& s = reference[total_order_key(bin_price(t.price, w))];
            (t.side == B ? s.buy : s.sell) += t.qty;
        }
        std::vector<double> bins, buys, sells;
        for (const auto& [key, s] : reference) {
            bins.push_back(round8(from_total_order_key(key)));
            buys.push_back(round8(s.buy));
            sells.push_back(round8(s.sell));
        }
        const auto fp = panel_value<PanelData::Footprint>(compute_footprint({w, 1}, whole_window(d)));
        EXPECT_SAME_BITS(fp.price_bins, bins) << w;
        EXPECT_SAME_BITS(fp.buy_vol, buys) << w;
        EXPECT_SAME_BITS(fp.sell_vol, sells) << w;
    }
}

}  // namespace
}  // namespace vorn
