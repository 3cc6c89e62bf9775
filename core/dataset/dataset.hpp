#pragma once
// The market data of one symbol: six record lists. Book levels of every event live in one
// contiguous pool, so a book event is a small fixed-size record that sorts cheaply.
#include <cstdint>
#include <span>
#include <vector>

namespace vorn {

enum class TradeSide : std::uint8_t { Buy = 0, Sell = 1 };
enum class LiquidationSide : std::uint8_t { Long = 0, Short = 1 };
enum class BookEventKind : std::uint8_t { Snapshot = 0, Diff = 1 };

struct PriceLevel {
    double price;
    double qty;
};

struct Candle {
    std::int64_t ts;
    double open;
    double high;
    double low;
    double close;
    double volume;
};

struct Trade {
    std::int64_t ts;
    double price;
    double qty;
    TradeSide side;
};

struct BookEvent {
    std::int64_t ts;
    // The event's bids are levels[first_level, first_level + bid_count) of the owning dataset's
    // level pool; its asks follow directly after them.
    std::uint64_t first_level;
    std::uint32_t bid_count;
    std::uint32_t ask_count;
    BookEventKind kind;
};

struct FundingEvent {
    std::int64_t ts;
    double rate;
};

struct OiEvent {
    std::int64_t ts;
    double oi;
};

struct LiquidationEvent {
    std::int64_t ts;
    double price;
    double qty;
    LiquidationSide side;
};

struct Dataset {
    std::vector<Candle> candles;
    std::vector<Trade> trades;
    std::vector<BookEvent> book;
    std::vector<FundingEvent> funding;
    std::vector<OiEvent> oi;
    std::vector<LiquidationEvent> liquidations;
    // Storage of the bids and asks of every book event.
    std::vector<PriceLevel> levels;

    std::span<const PriceLevel> bids(const BookEvent& e) const { return {levels.data() + e.first_level, e.bid_count}; }
    std::span<const PriceLevel> asks(const BookEvent& e) const {
        return {levels.data() + e.first_level + e.bid_count, e.ask_count};
    }
    // The sum of the six list lengths.
    std::uint64_t record_count() const {
        return candles.size() + trades.size() + book.size() + funding.size() + oi.size() + liquidations.size();
    }
};

}  // namespace vorn
