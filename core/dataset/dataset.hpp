#pragma once
// The market data of one symbol: six record lists. Book levels of every event live in one
// contiguous pool, so a book event is a small fixed-size record that sorts cheaply.
//
// Units throughout: `ts` is the event time in milliseconds (the recording's own clock, normally
// since the Unix epoch); prices are in the quote currency per unit of the instrument; quantities
// and volumes are in units of the instrument (coins or contracts, as the recording counts them).
#include <cstdint>
#include <span>
#include <vector>

#include "core/runtime/pod_vector.hpp"

namespace vorn {

// The aggressor's side of a trade: Buy when the taker bought (lifted an ask), Sell when it sold.
enum class TradeSide : std::uint8_t { Buy = 0, Sell = 1 };
// The side of the position a liquidation closed: Long is a forced sell, Short a forced buy.
enum class LiquidationSide : std::uint8_t { Long = 0, Short = 1 };
// A snapshot replaces the whole book; a diff sets the quantity of each level it names (0 removes
// the level).
enum class BookEventKind : std::uint8_t { Snapshot = 0, Diff = 1 };

// One price level of a book side: the quantity resting at `price`.
struct PriceLevel {
    double price;
    double qty;
};

// One candle as the recording gives it: `ts` its open time; `volume` the traded quantity.
struct Candle {
    std::int64_t ts;
    double open;
    double high;
    double low;
    double close;
    double volume;
};

// One trade (a fill between a taker and a resting order).
struct Trade {
    std::int64_t ts;
    double price;
    double qty;      // traded quantity, positive in real recordings (not checked)
    TradeSide side;  // the taker's side
};

// How the prices of one side of a book event run, as noted when the dataset is prepared:
// strictly ascending or strictly descending by ordinary comparison (so no NaN and no price twice),
// or neither (also: not yet looked at). Exchanges send sides sorted, so a reader after a price
// range can search for it instead of looking at every level.
enum class LevelOrder : std::uint8_t { Unordered = 0, Ascending = 1, Descending = 2 };

// One order-book update.
struct BookEvent {
    std::int64_t ts;
    // The event's bids are levels[first_level, first_level + bid_count) of the owning dataset's
    // level pool; its asks follow directly after them.
    std::uint64_t first_level;
    std::uint32_t bid_count;
    std::uint32_t ask_count;
    BookEventKind kind;
    LevelOrder bid_order = LevelOrder::Unordered;
    LevelOrder ask_order = LevelOrder::Unordered;
};

// A funding rate published at `ts`: the fraction of the position's value paid per funding
// interval (0.0001 is 0.01%), by longs to shorts when positive.
struct FundingEvent {
    std::int64_t ts;
    double rate;
};

// Open interest at `ts`: the quantity of open contracts, in units of the instrument.
struct OiEvent {
    std::int64_t ts;
    double oi;
};

// A forced close of a position: its price and quantity as the exchange reported the order.
struct LiquidationEvent {
    std::int64_t ts;
    double price;
    double qty;
    LiquidationSide side;  // the liquidated position's side
};

// The lists grow in place while they are read (see PodVector), so a list of unknown length is
// decoded straight into its final storage.
struct Dataset {
    PodVector<Candle> candles;
    PodVector<Trade> trades;
    PodVector<BookEvent> book;
    PodVector<FundingEvent> funding;
    PodVector<OiEvent> oi;
    PodVector<LiquidationEvent> liquidations;
    // Storage of the bids and asks of every book event.
    PodVector<PriceLevel> levels;

    std::span<const PriceLevel> bids(const BookEvent& e) const { return {levels.data() + e.first_level, e.bid_count}; }
    std::span<const PriceLevel> asks(const BookEvent& e) const {
        return {levels.data() + e.first_level + e.bid_count, e.ask_count};
    }
    // The sum of the six list lengths.
    std::uint64_t record_count() const;
};

// The six lists of a dataset (or of a window, see window.hpp) in declared order: candles, trades,
// book, funding, oi, liquidations. Code over every list calls `f` once per list through this.
template <class Lists, class F>
void for_each_list(Lists& lists, F&& f) {
    f(lists.candles);
    f(lists.trades);
    f(lists.book);
    f(lists.funding);
    f(lists.oi);
    f(lists.liquidations);
}
// The same, over the lists of two such records side by side (a dataset and its window).
template <class A, class B, class F>
void for_each_list(A& a, B& b, F&& f) {
    f(a.candles, b.candles);
    f(a.trades, b.trades);
    f(a.book, b.book);
    f(a.funding, b.funding);
    f(a.oi, b.oi);
    f(a.liquidations, b.liquidations);
}

inline std::uint64_t Dataset::record_count() const {
    std::uint64_t count = 0;
    for_each_list(*this, [&count](const auto& list) { count += list.size(); });
    return count;
}

}  // namespace vorn
