#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/panels/compute_panel.hpp"
#include "panel_test_support.hpp"

namespace vorn {
namespace {

using test::bits;
using test::panel_value;
constexpr LiquidationSide L = LiquidationSide::Long;
constexpr LiquidationSide S = LiquidationSide::Short;

struct LiquidationCase {
    std::string name;
    double price_bin;
    std::vector<LiquidationEvent> liquidations;
    std::vector<LiquidationMapEvent> expected;
};

TEST(LiquidationMap, Cases) {
    const LiquidationCase cases[] = {
        {"no liquidations", 1.0, {}, {}},
        {"worked example", 10.0,
         {{5, 101.0, 1.5, S}, {5, 99.0, 2.0, L}, {3, 120.0, 1.0, L}},
         {{3, 120.0, 1.0, L}, {5, 90.0, 2.0, L}, {5, 100.0, 1.5, S}}},
        {"same ts and bin: long before short", 10.0,
         {{5, 101.0, 1.0, S}, {5, 102.0, 2.0, L}},
         {{5, 100.0, 2.0, L}, {5, 100.0, 1.0, S}}},
        {"equal keys keep their recorded order despite a lower raw price", 10.0,
         {{5, 109.0, 1.0, L}, {5, 101.0, 2.0, L}, {5, 105.0, 3.0, L}},
         {{5, 100.0, 1.0, L}, {5, 100.0, 2.0, L}, {5, 100.0, 3.0, L}}},
        {"binned price sorts by totalOrder: minus zero before plus zero", 1.0,
         {{5, 0.5, 1.0, L}, {5, -0.0, 2.0, L}, {5, -0.5, 3.0, L}},
         {{5, -1.0, 3.0, L}, {5, -0.0, 2.0, L}, {5, 0.0, 1.0, L}}},
        {"quantity rounded to 8 decimals", 1.0, {{1, 1.0, 0.123456789, S}}, {{1, 1.0, 0.12345679, S}}},
        {"0.3 with width 0.1 lies in bin 0.2", 0.1, {{1, 0.3, 1.0, L}}, {{1, 0.2, 1.0, L}}},
        {"zero and negative quantities are kept", 1.0,
         {{1, 1.0, 0.0, L}, {2, 1.0, -2.0, S}},
         {{1, 1.0, 0.0, L}, {2, 1.0, -2.0, S}}},
        {"time sorts first, as a signed integer", 1.0,
         {{-5, 3.0, 1.0, S}, {-7, 9.0, 1.0, L}, {2, 1.0, 1.0, L}},
         {{-7, 9.0, 1.0, L}, {-5, 3.0, 1.0, S}, {2, 1.0, 1.0, L}}},
    };
    for (const LiquidationCase& c : cases) {
        Dataset d;
        d.liquidations.assign(c.liquidations.begin(), c.liquidations.end());
        const auto lm = panel_value<PanelData::LiquidationMap>(compute_liquidation_map({c.price_bin}, whole_window(d)));
        ASSERT_EQ(lm.events.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const LiquidationMapEvent& a = lm.events[i];
            const LiquidationMapEvent& e = c.expected[i];
            EXPECT_EQ(a.ts, e.ts) << c.name << " #" << i;
            EXPECT_EQ(bits(a.price_bin), bits(e.price_bin)) << c.name << " #" << i;
            EXPECT_EQ(bits(a.qty), bits(e.qty)) << c.name << " #" << i;
            EXPECT_EQ(a.side, e.side) << c.name << " #" << i;
        }
    }
}

}  // namespace
}  // namespace vorn
