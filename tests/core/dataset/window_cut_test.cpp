#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/dataset/window_cut.hpp"

namespace vorn {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Every list holds records at these timestamps (sorted, with a repeated one).
const std::vector<std::int64_t> kStamps = {-4, 1, 3, 5, 5, 7};

Dataset dataset_at(const std::vector<std::int64_t>& stamps) {
    Dataset d;
    for (std::int64_t ts : stamps) {
        d.candles.push_back({ts, 1, 2, 0, 1, 1});
        d.trades.push_back({ts, 1, 1, TradeSide::Buy});
        std::uint64_t first = d.levels.size();
        d.levels.push_back({static_cast<double>(ts), 1.0});
        d.levels.push_back({static_cast<double>(ts) + 0.5, 2.0});
        d.book.push_back({ts, first, 1, 1, BookEventKind::Diff});
        d.funding.push_back({ts, 0.1});
        d.oi.push_back({ts, 5});
        d.liquidations.push_back({ts, 1, 1, LiquidationSide::Long});
    }
    return d;
}

struct CutCase {
    const char* name;
    std::optional<std::int64_t> from_ts;
    std::int64_t end;
    std::size_t first;  // the window is kStamps[first, last)
    std::size_t last;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutWindow : public ::testing::TestWithParam<CutCase> {};

template <class Record>
void expect_range(std::span<const Record> window, const PodVector<Record>& list, std::size_t first,
                  std::size_t last) {
    EXPECT_EQ(window.size(), last - first);
    // A view into the stored list, not a copy.
    if (first < last) {
        EXPECT_EQ(window.data(), list.data() + first);
    }
}

TEST_P(CutWindow, EveryListKeepsExactlyTheInclusiveRange) {
    const CutCase& c = GetParam();
    Dataset d = dataset_at(kStamps);
    Window w = cut_window(d, c.from_ts, c.end);
    expect_range(w.candles, d.candles, c.first, c.last);
    expect_range(w.trades, d.trades, c.first, c.last);
    expect_range(w.book, d.book, c.first, c.last);
    expect_range(w.funding, d.funding, c.first, c.last);
    expect_range(w.oi, d.oi, c.first, c.last);
    expect_range(w.liquidations, d.liquidations, c.first, c.last);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, CutWindow,
    ::testing::Values(CutCase{"end_before_every_record", std::nullopt, -5, 0, 0},
                      CutCase{"end_on_first_record", std::nullopt, -4, 0, 1},
                      CutCase{"end_on_repeated_stamp_takes_both", std::nullopt, 5, 0, 5},
                      CutCase{"end_between_records", std::nullopt, 4, 0, 3},
                      CutCase{"end_on_last_record", std::nullopt, 7, 0, 6},
                      CutCase{"end_after_every_record", std::nullopt, kMax, 0, 6},
                      CutCase{"from_on_repeated_stamp_takes_both", 5, 7, 3, 6},
                      CutCase{"from_and_end_on_records", 1, 5, 1, 5},
                      CutCase{"from_equals_end_on_record", 3, 3, 2, 3},
                      CutCase{"from_equals_end_between_records", 4, 4, 3, 3},
                      CutCase{"from_above_end", 6, 5, 5, 5},
                      CutCase{"from_after_every_record", 8, kMax, 6, 6},
                      CutCase{"from_before_every_record", kMin, 1, 0, 2},
                      CutCase{"whole_range_of_timestamps", kMin, kMax, 0, 6},
                      CutCase{"end_at_smallest_timestamp", std::nullopt, kMin, 0, 0}),
    [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

TEST(CutWindow, EmptyDatasetGivesEmptyLists) {
    Dataset d;
    Window w = cut_window(d, 0, kMax);
    EXPECT_TRUE(w.candles.empty() && w.trades.empty() && w.book.empty() && w.funding.empty() && w.oi.empty() &&
                w.liquidations.empty());
}

TEST(CutWindow, ListsAreCutIndependently) {
    Dataset d;
    d.trades = {{1, 1, 1, TradeSide::Buy}, {9, 1, 1, TradeSide::Sell}};
    d.funding = {{2, 0.1}, {3, 0.2}, {4, 0.3}};
    d.candles = {{10, 1, 1, 1, 1, 1}};
    Window w = cut_window(d, 3, 9);
    EXPECT_EQ(w.trades.size(), 1u);
    EXPECT_EQ(w.trades[0].ts, 9);
    ASSERT_EQ(w.funding.size(), 2u);
    EXPECT_EQ(w.funding[0].ts, 3);
    EXPECT_TRUE(w.candles.empty());
}

// A book event inside the window still reaches its own levels in the shared pool.
TEST(CutWindow, BookEventsKeepTheirLevels) {
    Dataset d = dataset_at(kStamps);
    Window w = cut_window(d, 5, 7);
    ASSERT_EQ(w.book.size(), 3u);
    for (const BookEvent& e : w.book) {
        ASSERT_EQ(w.bids(e).size(), 1u);
        ASSERT_EQ(w.asks(e).size(), 1u);
        EXPECT_EQ(w.bids(e)[0].price, static_cast<double>(e.ts));
        EXPECT_EQ(w.asks(e)[0].price, static_cast<double>(e.ts) + 0.5);
    }
}

}  // namespace
}  // namespace vorn
