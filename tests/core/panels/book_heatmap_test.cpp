#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/dataset/prepare.hpp"
#include "core/panels/arithmetic/bin_price.hpp"
#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/panel_limits.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/book_heatmap/price_grid.hpp"
#include "core/panels/compute_panel.hpp"
#include "panel_test_support.hpp"

namespace vorn {
namespace {

using test::bits;
using test::diff;
using test::error_text;
using test::panel_value;
using test::snapshot;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct HeatmapCase {
    std::string name;
    VornPanel::BookHeatmap params;
    std::function<void(Dataset&)> build;
    std::vector<std::int64_t> time;
    std::vector<double> price;
    std::vector<double> intensity;  // row-major
};

TEST(BookHeatmap, Cases) {
    const HeatmapCase cases[] = {
        {"no book event", {1.0, 1000, 3}, [](Dataset&) {}, {}, {}, {}},
        {"worked example: mid 100, ask at 100.5 in the centre bin", {1.0, 1000, 3},
         [](Dataset& d) { snapshot(d, 0, {{99.5, 2.0}}, {{100.5, 3.0}}); },
         {0}, {99.0, 100.0, 101.0}, {2.0, 3.0, -0.0}},
        {"closing book without bids is empty even after full buckets", {1.0, 10, 3},
         [](Dataset& d) {
             snapshot(d, 0, {{99.5, 2.0}}, {{100.5, 3.0}});
             diff(d, 50, {{99.5, 0.0}}, {});
         },
         {}, {}, {}},
        {"closing book without asks is empty", {1.0, 10, 3},
         [](Dataset& d) {
             snapshot(d, 0, {{99.5, 2.0}}, {{100.5, 3.0}});
             diff(d, 5, {}, {{100.5, -0.0}});
         },
         {}, {}, {}},
        {"a snapshot listing only bids empties the asks", {1.0, 10, 3},
         [](Dataset& d) {
             snapshot(d, 0, {{99.5, 2.0}}, {{100.5, 3.0}});
             snapshot(d, 5, {{99.5, 1.0}}, {});
         },
         {}, {}, {}},
        {"diffs alone build a book", {1.0, 10, 3},
         [](Dataset& d) {
             diff(d, 0, {{99.5, 2.0}}, {});
             diff(d, 1, {}, {{100.5, 3.0}});
         },
         {0}, {99.0, 100.0, 101.0}, {2.0, 3.0, -0.0}},
        {"a price on p_hi counts in the bin above, one on p in its own", {1.0, 10, 3},
         [](Dataset& d) { snapshot(d, 0, {{99.0, 1.0}, {100.0, 4.0}}, {{101.0, 8.0}}); },
         {0}, {99.0, 100.0, 101.0}, {1.0, 4.0, 8.0}},
        {"five rows; the later event shows only in the last", {1.0, 60000, 3},
         [](Dataset& d) {
             snapshot(d, 1000, {{99.5, 1.0}}, {{100.5, 1.0}});
             diff(d, 250000, {{99.5, 5.0}}, {});
         },
         {0, 60000, 120000, 180000, 240000}, {99.0, 100.0, 101.0},
         {1.0, 1.0, -0.0, 1.0, 1.0, -0.0, 1.0, 1.0, -0.0, 1.0, 1.0, -0.0, 5.0, 1.0, -0.0}},
        {"rows show the book at their bucket end on the closing grid", {1.0, 10, 3},
         [](Dataset& d) {
             snapshot(d, 0, {{50.0, 1.0}}, {{51.0, 1.0}});           // far off the final grid
             snapshot(d, 10, {{99.5, 2.0}}, {{100.5, 3.0}, {101.2, 1.0}});
             diff(d, 25, {{99.7, 1.0}}, {{101.2, 0.0}});
         },
         {0, 10, 20}, {99.0, 100.0, 101.0}, {-0.0, -0.0, -0.0, 2.0, 3.0, 1.0, 3.0, 3.0, -0.0}},
        {"negative timestamp buckets by floor division", {1.0, 1000, 1},
         [](Dataset& d) { snapshot(d, -1, {{99.5, 2.0}}, {{100.5, 3.0}}); },
         {-1000}, {100.0}, {3.0}},
        {"one level gives the centre bin only", {1.0, 10, 1},
         [](Dataset& d) { snapshot(d, 0, {{99.5, 2.0}}, {{100.5, 3.0}}); },
         {0}, {100.0}, {3.0}},
        {"even depth: the centre bin is the one above the middle", {1.0, 10, 4},
         [](Dataset& d) { snapshot(d, 0, {{99.5, 2.0}}, {{100.5, 3.0}}); },
         {0}, {98.0, 99.0, 100.0, 101.0}, {-0.0, 2.0, 3.0, -0.0}},
        {"events with one ts apply in recorded order", {1.0, 10, 3},
         [](Dataset& d) {
             snapshot(d, 5, {{99.5, 1.0}}, {{100.5, 1.0}});
             diff(d, 5, {{99.5, 7.0}, {99.2, 1.0}}, {});
             diff(d, 5, {{99.2, 0.0}}, {});
         },
         {0}, {99.0, 100.0, 101.0}, {7.0, 1.0, -0.0}},
        {"a later level for the same price overrides an earlier one", {1.0, 10, 3},
         [](Dataset& d) { snapshot(d, 0, {{99.5, 1.0}, {99.5, 6.0}}, {{100.5, 2.0}, {100.5, 0.0}, {100.7, 1.0}}); },
         {0}, {99.0, 100.0, 101.0}, {6.0, 1.0, -0.0}},
        // Ascending: (1 + 1e16) - 1e16 = 0; descending the 1 would survive.
        {"cells sum in ascending price order", {1.0, 10, 1},
         [](Dataset& d) { snapshot(d, 0, {{99.1, 1.0}, {99.2, 1e16}, {99.3, -1e16}}, {{100.5, 0.5}}); },
         {0}, {99.0}, {0.0}},
        {"both zeros are distinct prices and both fall in the bin at zero", {1.0, 10, 3},
         [](Dataset& d) { snapshot(d, 0, {{-0.0, 1.0}, {0.0, 2.0}, {-0.5, 4.0}}, {{0.5, 8.0}}); },
         {0}, {-1.0, 0.0, 1.0}, {4.0, 11.0, -0.0}},
        {"negative and NaN quantities are stored", {1.0, 10, 3},
         [](Dataset& d) { snapshot(d, 0, {{99.5, -2.0}}, {{100.5, kNaN}}); },
         {0}, {99.0, 100.0, 101.0}, {-2.0, kNaN, -0.0}},
        {"removing a missing price is not an error", {1.0, 10, 3},
         [](Dataset& d) {
             snapshot(d, 0, {{99.5, 2.0}}, {{100.5, 3.0}});
             diff(d, 1, {{42.0, 0.0}}, {{77.0, 0.0}});
         },
         {0}, {99.0, 100.0, 101.0}, {2.0, 3.0, -0.0}},
        {"bucket end past INT64_MAX still applies the last events", {1.0, 2, 1},
         [](Dataset& d) {
             snapshot(d, kMax - 1, {{99.5, 2.0}}, {{100.5, 3.0}});
             diff(d, kMax, {}, {{100.5, 9.0}});
         },
         {kMax - 1}, {100.0}, {9.0}},
        {"quantities are rounded per cell", {1.0, 10, 1},
         [](Dataset& d) { snapshot(d, 0, {{99.9, 1.0}}, {{100.2, 0.123456789}, {100.3, 0.1}}); },
         {0}, {100.0}, {0.22345679}},
    };
    for (const HeatmapCase& c : cases) {
        Dataset d;
        c.build(d);
        const auto hm = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(c.params, whole_window(d)));
        EXPECT_EQ(hm.time, c.time) << c.name;
        EXPECT_SAME_BITS(hm.price, c.price) << c.name;
        EXPECT_SAME_BITS(hm.intensity, c.intensity) << c.name;
    }
}

TEST(BookMid, HalvesFirstOnlyWhenASumCouldOverflow) {
    const double max = std::numeric_limits<double>::max();
    const double denorm = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(max / 2, 8.988465674311579e+307);
    EXPECT_EQ(book_mid(99.5, 100.5), 100.0);
    EXPECT_EQ(book_mid(max, max), max);             // (max + max) * 0.5 would be infinite
    EXPECT_EQ(book_mid(-max, 1.0), -max * 0.5 + 0.5);
    EXPECT_EQ(book_mid(max / 2, max / 2), max / 2);  // at the bound: summed, which still fits
    EXPECT_EQ(book_mid(denorm, denorm), denorm);     // summed first; halving first would give 0
}

// The plain algorithm: ordered maps, every cell summed by walking the whole map.
struct ReferenceHeatmap {
    std::vector<std::int64_t> time;
    std::vector<double> price;
    std::vector<double> intensity;
};

struct TotalOrderLess {
    bool operator()(double a, double b) const { return total_order_less(a, b); }
};
using ReferenceSide = std::map<double, double, TotalOrderLess>;

void reference_apply(ReferenceSide& bids, ReferenceSide& asks, const Window& w, const BookEvent& e) {
    if (e.kind == BookEventKind::Snapshot) {
        bids.clear();
        asks.clear();
    }
    for (const PriceLevel& l : w.bids(e)) {
        if (l.qty == 0.0) bids.erase(l.price);
        else bids[l.price] = l.qty;
    }
    for (const PriceLevel& l : w.asks(e)) {
        if (l.qty == 0.0) asks.erase(l.price);
        else asks[l.price] = l.qty;
    }
}

ReferenceHeatmap reference_heatmap(const VornPanel::BookHeatmap& p, const Window& w) {
    ReferenceHeatmap out;
    if (w.book.empty()) return out;
    ReferenceSide bids, asks;
    for (const BookEvent& e : w.book) reference_apply(bids, asks, w, e);
    if (bids.empty() || asks.empty()) return out;
    const double mid = book_mid(bids.rbegin()->first, asks.begin()->first);
    const double c = bin_price(mid, p.price_bin);
    const std::int64_t h = p.depth_levels / 2;
    for (std::int64_t i = 0; i < p.depth_levels; ++i) {
        const double step = static_cast<double>(i - h) * p.price_bin;
        out.price.push_back(round8(step + c));
    }
    const BucketRange range = bucket_range(w.book.front().ts, w.book.back().ts, p.bucket_ms);
    bids.clear();
    asks.clear();
    std::size_t next = 0;
    for (Int128 k = 0; k < range.count; ++k) {
        const Int128 start = range.first_start + k * p.bucket_ms;
        while (next < w.book.size() && w.book[next].ts < start + p.bucket_ms) reference_apply(bids, asks, w, w.book[next++]);
        for (double lo : out.price) {
            const double hi = round8(p.price_bin + lo);
            double bid_sum = -0.0, ask_sum = -0.0;
            for (const auto& [x, q] : bids)
                if (lo <= x && x < hi) bid_sum += q;
            for (const auto& [x, q] : asks)
                if (lo <= x && x < hi) ask_sum += q;
            out.intensity.push_back(round8(bid_sum + ask_sum));
        }
        out.time.push_back(static_cast<std::int64_t>(start));
    }
    return out;
}

// Prices strictly falling (bids) or rising (asks), each once.
void sort_side(std::vector<PriceLevel>& side, bool falling) {
    std::sort(side.begin(), side.end(), [falling](const PriceLevel& a, const PriceLevel& b) {
        return falling ? a.price > b.price : a.price < b.price;
    });
    side.erase(std::unique(side.begin(), side.end(), [](const PriceLevel& a, const PriceLevel& b) { return a.price == b.price; }),
               side.end());
}

TEST(BookHeatmap, RandomBooksMatchThePlainAlgorithm) {
    std::mt19937_64 rng(2024);
    const double widths[] = {0.5, 1.0, 0.1, 0.3, 2.5};
    const std::uint32_t depths[] = {1, 2, 3, 4, 5, 8, 40};
    const std::int64_t buckets[] = {1, 7, 100, 1000};
    int compared = 0;
    for (int round = 0; round < 1500; ++round) {
        const double w = widths[rng() % std::size(widths)];
        const VornPanel::BookHeatmap params{w, buckets[rng() % std::size(buckets)], depths[rng() % std::size(depths)]};
        // Prices on a tick grid near the bin edges of w, a few exactly zero of either sign.
        const double base = (rng() % 4 == 0) ? 0.0 : 100.0;
        const auto random_price = [&]() -> double {
            const unsigned r = static_cast<unsigned>(rng() % 50);
            if (r == 0) return -0.0;
            if (r == 1) return 0.0;
            return base + (static_cast<double>(rng() % 81) - 40.0) * (w / 4);
        };
        const auto random_qty = [&]() -> double {
            const unsigned r = static_cast<unsigned>(rng() % 20);
            if (r < 5) return (r & 1) ? -0.0 : 0.0;  // removals
            if (r == 5) return -1.25;
            if (r == 6) return 0.123456789;
            return static_cast<double>(1 + rng() % 50) * 0.1;
        };
        Dataset d;
        std::int64_t ts = static_cast<std::int64_t>(rng() % 2001) - 1000;
        const int events = 1 + static_cast<int>(rng() % 60);
        for (int e = 0; e < events; ++e) {
            // Gaps of a few buckets at most, so rows stay few enough for the plain algorithm.
            const std::uint64_t gap = static_cast<std::uint64_t>(params.bucket_ms) * 3 + 1;
            ts += static_cast<std::int64_t>(rng() % 4 == 0 ? 0 : rng() % std::min<std::uint64_t>(gap, 300));
            const bool snap = e == 0 ? (rng() % 4 != 0) : (rng() % 15 == 0);
            BookEvent ev{ts, d.levels.size(), 0, 0, snap ? BookEventKind::Snapshot : BookEventKind::Diff};
            // Half the sides in price order, as exchanges send them (bids falling, asks rising):
            // the heatmap then searches them and lays snapshots out at once.
            for (bool bid : {true, false}) {
                std::vector<PriceLevel> side(rng() % (snap ? 40 : 5));
                for (PriceLevel& l : side) l = {random_price(), random_qty()};
                if (rng() % 2 == 0) sort_side(side, bid);
                (bid ? ev.bid_count : ev.ask_count) = static_cast<std::uint32_t>(side.size());
                d.levels.append(side.begin(), side.end());
            }
            d.book.push_back(ev);
        }
        prepare_dataset(d);  // notes the sides' price order
        const Window win = whole_window(d);
        const ReferenceHeatmap expected = reference_heatmap(params, win);
        const auto actual = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, win));
        ASSERT_EQ(actual.time, expected.time) << "round " << round;
        ASSERT_EQ(bits(actual.price), bits(expected.price)) << "round " << round;
        ASSERT_EQ(bits(actual.intensity), bits(expected.intensity)) << "round " << round;
        if (!expected.time.empty()) ++compared;
    }
    EXPECT_GT(compared, 500);  // most rounds produced a real grid
}

TEST(BookHeatmap, DeepBooksMatchThePlainAlgorithm) {
    // Books of thousands of levels on a fine tick, many of them inside a wide grid, with
    // removals and the occasional snapshot: the bookkeeping behind the cells is exercised far
    // beyond the small books above.
    std::mt19937_64 rng(77);
    for (int round = 0; round < 6; ++round) {
        const VornPanel::BookHeatmap params{0.5, 250, static_cast<std::uint32_t>(20 + rng() % 60)};
        Dataset d;
        std::int64_t ts = 0;
        const auto level = [&](double centre, bool bid) {
            const double offset = static_cast<double>(1 + rng() % 3000) * 0.01;
            const double qty = rng() % 4 == 0 ? 0.0 : static_cast<double>(rng() % 5000) * 0.001;
            return PriceLevel{bid ? centre - offset : centre + offset, qty};
        };
        for (int e = 0; e < 400; ++e) {
            ts += static_cast<std::int64_t>(rng() % 20);
            const bool snap = e == 0 || rng() % 150 == 0;
            const std::uint32_t count = snap ? 1500 : 1 + static_cast<std::uint32_t>(rng() % 60);
            BookEvent ev{ts, d.levels.size(), 0, 0, snap ? BookEventKind::Snapshot : BookEventKind::Diff};
            for (bool bid : {true, false}) {
                std::vector<PriceLevel> side(count);
                for (PriceLevel& l : side) l = level(1000.0, bid);
                if (round % 2 == 0) sort_side(side, bid);  // odd rounds: sides in no order
                (bid ? ev.bid_count : ev.ask_count) = static_cast<std::uint32_t>(side.size());
                d.levels.append(side.begin(), side.end());
            }
            d.book.push_back(ev);
        }
        prepare_dataset(d);
        const Window win = whole_window(d);
        const ReferenceHeatmap expected = reference_heatmap(params, win);
        ASSERT_FALSE(expected.time.empty());
        const auto actual = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, win));
        ASSERT_EQ(actual.time, expected.time) << "round " << round;
        ASSERT_EQ(bits(actual.price), bits(expected.price)) << "round " << round;
        ASSERT_EQ(bits(actual.intensity), bits(expected.intensity)) << "round " << round;
    }
}

struct HeatmapLimitCase {
    std::string name;
    std::int64_t first_ts;
    std::int64_t last_ts;
    VornPanel::BookHeatmap params;
    std::string error;
};

TEST(BookHeatmap, ImpossibleSizesFailBeforeAllocating) {
    const std::int64_t half = static_cast<std::int64_t>(kMaxPanelCells / 2);
    const HeatmapLimitCase cases[] = {
        {"most depth levels", 0, 0, {1.0, 1000, 4294967295u}, "data: book_heatmap grid too large"},
        {"one level over the limit", 0, 0, {1.0, 1000, static_cast<std::uint32_t>(kMaxPanelCells + 1)},
         "data: book_heatmap grid too large"},
        {"rows times levels over the limit", 0, half, {1.0, 1, 2}, "data: book_heatmap grid too large"},
        {"all of time in 1 ms rows", kMin, kMax, {1.0, 1, 1}, "data: book_heatmap grid too large"},
        {"first start below INT64_MIN", kMin, kMin, {1.0, 3, 1}, "data: book_heatmap time buckets out of range"},
    };
    for (const HeatmapLimitCase& c : cases) {
        Dataset d;
        snapshot(d, c.first_ts, {{99.5, 1.0}}, {{100.5, 1.0}});
        diff(d, c.last_ts, {{99.5, 2.0}}, {});
        EXPECT_EQ(error_text(compute_book_heatmap(c.params, whole_window(d))), c.error) << c.name;
    }
}

TEST(BookHeatmap, AnEmptyClosingBookNeedsNoGrid) {
    // The empty result wins over the size limit: no grid is ever built for it.
    Dataset d;
    snapshot(d, kMin, {{99.5, 1.0}}, {});
    diff(d, kMax, {{99.5, 2.0}}, {});
    const auto hm = panel_value<PanelData::BookHeatmap>(compute_book_heatmap({1.0, 1, 4294967295u}, whole_window(d)));
    EXPECT_TRUE(hm.time.empty() && hm.price.empty() && hm.intensity.empty());
}

TEST(BookHeatmap, AGivenMidCentresTheGridWhateverTheClosingBook) {
    // Bid 2.0 at 99.5, ask 3.0 at 100.5: its own mid is 100.0; a given 102.7 moves the grid to
    // [101, 102, 103], a given 99.2 to [98, 99, 100].
    Dataset d;
    snapshot(d, 1000, {{99.5, 2.0}}, {{100.5, 3.0}});
    const VornPanel::BookHeatmap params{1.0, 1000, 3};
    const auto own = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, whole_window(d)));
    EXPECT_EQ(own.price, (std::vector<double>{99.0, 100.0, 101.0}));
    EXPECT_EQ(own.grid_mid, 100.0);
    const auto above = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, whole_window(d), false, 1000, 102.7));
    EXPECT_EQ(above.price, (std::vector<double>{101.0, 102.0, 103.0}));
    const auto cells = [](const PanelData::BookHeatmap& hm) {
        return bits(std::vector<double>(hm.intensity.begin(), hm.intensity.end()));
    };
    EXPECT_EQ(cells(above), bits(std::vector<double>{-0.0, -0.0, -0.0}));
    const auto below = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, whole_window(d), false, 1000, 99.2));
    EXPECT_EQ(cells(below), bits(std::vector<double>{-0.0, 2.0, 3.0}));
    EXPECT_EQ(below.grid_mid, 99.2);

    // Without bids the book has no grid of its own, but its cells on a given one.
    Dataset one_sided;
    snapshot(one_sided, 1000, {}, {{100.5, 3.0}});
    const auto none = panel_value<PanelData::BookHeatmap>(compute_book_heatmap(params, whole_window(one_sided)));
    EXPECT_TRUE(none.time.empty() && none.price.empty() && std::isnan(none.grid_mid));
    const auto given = panel_value<PanelData::BookHeatmap>(
        compute_book_heatmap(params, whole_window(one_sided), false, 1000, 100.4));
    EXPECT_EQ(given.time, (std::vector<std::int64_t>{1000}));
    EXPECT_EQ(cells(given), bits(std::vector<double>{-0.0, 3.0, -0.0}));
}

TEST(ComputePanel, DispatchesOnTheKind) {
    Dataset d;
    d.trades = {{1, 100.2, 1.0, TradeSide::Buy}};
    const Window w = whole_window(d);
    const VornPanel panels[] = {{VornPanel::Footprint{}}, {VornPanel::BookHeatmap{}}, {VornPanel::LiquidationMap{}},
                                {VornPanel::FundingOiDivergence{}}};
    for (std::size_t i = 0; i < std::size(panels); ++i) {
        const Result<PanelData> r = compute_panel(panels[i], w);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->value.index(), i);
    }
    EXPECT_EQ(std::get<PanelData::Footprint>(compute_panel(panels[0], w)->value).price_bins, std::vector<double>{100.0});
}

}  // namespace
}  // namespace vorn
