#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/dataset/columns.hpp"

namespace vorn {
namespace {

struct BookColumns {
    std::vector<std::int64_t> ts{1, 2};
    std::vector<std::uint8_t> kind{0, 1};
    std::vector<std::int64_t> bid_count{2, 0};
    std::vector<std::int64_t> ask_count{1, 1};
    std::vector<double> bid_price{9.0, 8.0};
    std::vector<double> bid_qty{1.0, 2.0};
    std::vector<double> ask_price{11.0, 12.0};
    std::vector<double> ask_qty{3.0, 0.0};

    DatasetColumns columns() const {
        DatasetColumns c;
        c.lists[2] = std::vector<ColumnData>{{ts.data(), ts.size()},
                                             {kind.data(), kind.size()},
                                             {bid_count.data(), bid_count.size()},
                                             {ask_count.data(), ask_count.size()},
                                             {bid_price.data(), bid_price.size()},
                                             {bid_qty.data(), bid_qty.size()},
                                             {ask_price.data(), ask_price.size()},
                                             {ask_qty.data(), ask_qty.size()}};
        return c;
    }
};

TEST(Columns, TableNamesTheListsInDeclaredOrder) {
    std::vector<std::string> names;
    for (const ColumnList& list : column_lists()) names.emplace_back(list.name);
    EXPECT_EQ(names, (std::vector<std::string>{"candles", "trades", "book", "funding", "oi", "liquidations"}));
}

TEST(Columns, BookLevelsGoToThePoolInEventOrder) {
    BookColumns b;
    Result<Dataset> d = dataset_from_columns(b.columns());
    ASSERT_TRUE(d.ok()) << d.error().display();
    ASSERT_EQ(d->book.size(), 2u);
    EXPECT_EQ(d->book[0].bid_count, 2u);
    EXPECT_EQ(d->book[1].first_level, 3u);
    EXPECT_EQ(d->bids(d->book[0])[1].price, 8.0);
    EXPECT_EQ(d->asks(d->book[0])[0].price, 11.0);
    EXPECT_EQ(d->asks(d->book[1])[0].price, 12.0);
    EXPECT_EQ(d->book[1].kind, BookEventKind::Diff);
}

TEST(Columns, FailuresNameListFieldAndRow) {
    struct Case {
        const char* message;
        void (*change)(BookColumns&);
    };
    const Case cases[] = {
        {"book.kind row 1: unknown code 2 (expected 0 or 1)", [](BookColumns& b) { b.kind[1] = 2; }},
        {"book.bid_price row 1: nan is not a finite number", [](BookColumns& b) { b.bid_price[1] = std::nan(""); }},
        {"book.ask_qty row 0: -inf is not a finite number", [](BookColumns& b) { b.ask_qty[0] = -INFINITY; }},
        {"book.bid_count row 0: negative level count -1", [](BookColumns& b) { b.bid_count[0] = -1; }},
        {"book.bid_count row 0: level count 4294967296 exceeds 4294967295",
         [](BookColumns& b) { b.bid_count[0] = 4294967296; }},
        {"book.bid_count row 0: the counts up to this row add up to more than the 2 levels given",
         [](BookColumns& b) { b.bid_count[0] = 3; }},
        {"book.ask_count row 2: the counts add up to 1 levels, but 2 are given",
         [](BookColumns& b) { b.ask_count[1] = 0; }},
        {"book.kind row 1: missing (the column has 1 rows, ts has 2)", [](BookColumns& b) { b.kind.pop_back(); }},
        {"book.bid_qty row 2: extra row (the column has 3 rows, bid_price has 2)",
         [](BookColumns& b) { b.bid_qty.push_back(1.0); }},
    };
    for (const Case& c : cases) {
        BookColumns b;
        c.change(b);
        Result<Dataset> d = dataset_from_columns(b.columns());
        ASSERT_FALSE(d.ok()) << c.message;
        EXPECT_EQ(d.error().message, c.message);
    }
}

}  // namespace
}  // namespace vorn
