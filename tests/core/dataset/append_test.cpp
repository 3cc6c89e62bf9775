#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/dataset/append.hpp"
#include "core/dataset/prepare.hpp"

namespace vorn {
namespace {

Dataset book_of(std::vector<std::int64_t> times, double base) {
    Dataset d;
    for (std::int64_t ts : times) {
        d.book.push_back(BookEvent{ts, d.levels.size(), 2, 1, BookEventKind::Diff});
        d.levels.push_back(PriceLevel{base + 2, 1});
        d.levels.push_back(PriceLevel{base + 1, 1});
        d.levels.push_back(PriceLevel{base + 3, 1});
    }
    return d;
}

TEST(Append, BookEventsPointAtTheirOwnLevelsAndHaveTheirOrderNoted) {
    Dataset d = book_of({1, 2}, 100);
    prepare_dataset(d);
    Dataset added = book_of({2, 5}, 200);
    Result<std::uint64_t> count = append_dataset(d, added);
    ASSERT_TRUE(count.ok());
    EXPECT_EQ(*count, 2u);
    ASSERT_EQ(d.book.size(), 4u);
    ASSERT_EQ(d.levels.size(), 12u);
    EXPECT_EQ(d.bids(d.book[2])[0].price, 202);
    EXPECT_EQ(d.asks(d.book[3])[0].price, 203);
    EXPECT_EQ(d.book[3].bid_order, LevelOrder::Descending);
    EXPECT_EQ(d.book[3].ask_order, LevelOrder::Ascending);
}

TEST(Append, MatchesPreparingEverythingAtOnce) {
    Dataset all = book_of({1, 2, 2, 7}, 100);
    for (std::int64_t ts : {3, 3, 9}) all.trades.push_back(Trade{ts, 1.0, 2.0, TradeSide::Sell});
    prepare_dataset(all);
    Dataset d = book_of({1, 2}, 100);
    d.trades.push_back(Trade{3, 1.0, 2.0, TradeSide::Sell});
    prepare_dataset(d);
    Dataset more = book_of({2, 7}, 100);
    more.trades.push_back(Trade{3, 1.0, 2.0, TradeSide::Sell});
    more.trades.push_back(Trade{9, 1.0, 2.0, TradeSide::Sell});
    ASSERT_TRUE(append_dataset(d, more).ok());
    ASSERT_EQ(d.book.size(), all.book.size());
    for (std::size_t i = 0; i < d.book.size(); ++i) {
        EXPECT_EQ(d.book[i].ts, all.book[i].ts);
        EXPECT_EQ(d.book[i].first_level, all.book[i].first_level);
        EXPECT_EQ(d.book[i].bid_order, all.book[i].bid_order);
    }
    ASSERT_EQ(d.trades.size(), 3u);
    EXPECT_EQ(d.trades[2].ts, 9);
}

struct Refusal {
    const char* name;
    std::vector<std::int64_t> loaded;
    std::vector<std::int64_t> trades;
    std::vector<std::int64_t> book;
    std::string message;
};

class AppendRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(AppendRefusal, NamesTheRowAndChangesNoList) {
    const Refusal& r = GetParam();
    Dataset d = book_of(r.loaded, 100);
    for (std::int64_t ts : r.loaded) d.trades.push_back(Trade{ts, 1.0, 1.0, TradeSide::Buy});
    prepare_dataset(d);
    Dataset added = book_of(r.book, 100);
    for (std::int64_t ts : r.trades) added.trades.push_back(Trade{ts, 1.0, 1.0, TradeSide::Buy});
    Result<std::uint64_t> count = append_dataset(d, added);
    ASSERT_FALSE(count.ok());
    EXPECT_EQ(count.error().message, r.message);
    EXPECT_EQ(d.trades.size(), r.loaded.size());
    EXPECT_EQ(d.book.size(), r.loaded.size());
    EXPECT_EQ(d.levels.size(), 3 * r.loaded.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, AppendRefusal,
    testing::Values(Refusal{"before_last", {5, 10}, {9}, {}, "trades.ts row 0: 9 is before the list's last ts 10"},
                    Refusal{"out_of_order", {5}, {6, 8, 7}, {}, "trades.ts row 2: 7 is before the previous row's ts 8"},
                    Refusal{"book_fails_trades_fine", {5}, {6}, {7, 4}, "book.ts row 1: 4 is before the previous row's ts 7"},
                    Refusal{"first_list_named_first", {5}, {1}, {2}, "trades.ts row 0: 1 is before the list's last ts 5"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(Append, IntoAnEmptyDatasetTakesAnyTimes) {
    Dataset d;
    Dataset added = book_of({-5, 3}, 1);
    ASSERT_TRUE(append_dataset(d, added).ok());
    EXPECT_EQ(d.book.size(), 2u);
}

}  // namespace
}  // namespace vorn
