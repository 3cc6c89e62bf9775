#include "core/features/book_features.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/dataset/dataset.hpp"
#include "core/dataset/window.hpp"

namespace vorn {
namespace {

struct Event {
    std::int64_t ts;
    BookEventKind kind;
    std::vector<PriceLevel> bids;
    std::vector<PriceLevel> asks;
};

Dataset book_of(const std::vector<Event>& events) {
    Dataset d;
    for (const Event& e : events) {
        d.book.push_back(BookEvent{e.ts, d.levels.size(), static_cast<std::uint32_t>(e.bids.size()),
                                   static_cast<std::uint32_t>(e.asks.size()), e.kind});
        for (const PriceLevel& l : e.bids) d.levels.push_back(l);
        for (const PriceLevel& l : e.asks) d.levels.push_back(l);
    }
    return d;
}

const std::vector<std::uint32_t> kDepths{0, 1, 2};

TEST(BookFeatures, EventsBeforeTheFirstSnapshotAreIgnoredAndEndsAreExclusive) {
    Dataset d = book_of({
        {5, BookEventKind::Diff, {{99.0, 7.0}}, {{101.0, 7.0}}},
        {10, BookEventKind::Snapshot, {{100.0, 1.0}, {99.0, 2.0}, {98.0, 4.0}}, {{101.0, 3.0}, {103.0, 5.0}}},
        {20, BookEventKind::Diff, {{100.0, 0.0}}, {}},
    });
    Result<BookFeatures> f = compute_book_features(whole_window(d), 10, 10, 3, 1.0, kDepths);
    ASSERT_TRUE(f);
    EXPECT_TRUE(std::isnan(f->best_bid[0]));  // nothing before 10, the diff at 5 ignored
    EXPECT_TRUE(std::isnan(f->mid[0]));
    EXPECT_EQ(f->best_bid[1], 100.0);
    EXPECT_EQ(f->best_ask[1], 101.0);
    EXPECT_EQ(f->mid[1], 100.5);
    EXPECT_EQ(f->spread[1], 1.0);
    // depth 1 reaches 99.5 .. 101.5; depth 2 reaches 98.5 .. 102.5 (bounds inclusive).
    EXPECT_EQ(f->bid_depth[1 * 3 + 0], 0.0);
    EXPECT_EQ(f->ask_depth[1 * 3 + 0], 0.0);
    EXPECT_TRUE(std::isnan(f->imbalance[1 * 3 + 0]));  // 0/0
    EXPECT_EQ(f->bid_depth[1 * 3 + 1], 1.0);
    EXPECT_EQ(f->ask_depth[1 * 3 + 1], 3.0);
    EXPECT_EQ(f->imbalance[1 * 3 + 1], -0.5);
    EXPECT_EQ(f->bid_depth[1 * 3 + 2], 3.0);
    EXPECT_EQ(f->best_bid[2], 99.0);  // the removal at 20 applies before the end 30
}

TEST(BookFeatures, InclusiveBoundsAndAnEmptySide) {
    Dataset d = book_of({
        {0, BookEventKind::Snapshot, {{99.0, 1.0}, {98.0, 2.0}}, {{101.0, 3.0}, {102.0, 4.0}}},
        {1, BookEventKind::Diff, {}, {{101.0, 0.0}, {102.0, 0.0}}},
    });
    Result<BookFeatures> f = compute_book_features(whole_window(d), 1, 1, 2, 1.0, kDepths);
    ASSERT_TRUE(f);
    // mid 100: depth 1 reaches exactly 99 and 101, both counted.
    EXPECT_EQ(f->bid_depth[0 * 3 + 1], 1.0);
    EXPECT_EQ(f->ask_depth[0 * 3 + 1], 3.0);
    EXPECT_EQ(f->best_bid[1], 99.0);
    EXPECT_TRUE(std::isnan(f->best_ask[1]));
    EXPECT_TRUE(std::isnan(f->mid[1]));
    EXPECT_TRUE(std::isnan(f->spread[1]));
    EXPECT_TRUE(std::isnan(f->bid_depth[1 * 3 + 2]));
}

TEST(BookFeatures, BadParametersAreErrors) {
    Dataset d;
    EXPECT_FALSE(compute_book_features(whole_window(d), 0, 1, 1, 0.0, kDepths));
    EXPECT_FALSE(compute_book_features(whole_window(d), 0, 1, 1, NAN, kDepths));
    EXPECT_FALSE(compute_book_features(whole_window(d), 0, 0, 1, 1.0, kDepths));
    EXPECT_FALSE(compute_book_features(whole_window(d), INT64_MAX, 2, 2, 1.0, kDepths));
    Result<BookFeatures> empty = compute_book_features(whole_window(d), 0, 1, 0, 1.0, kDepths);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->best_bid.empty());
}

}  // namespace
}  // namespace vorn
