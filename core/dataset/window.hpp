#pragma once
// The records one frame takes into account: a read-only view of a time range of each list of a
// prepared dataset (every list sorted by ts, so each range is contiguous).
#include <span>

#include "core/dataset/dataset.hpp"
#include "core/dataset/price_ids.hpp"
#include "core/dataset/price_writes.hpp"

namespace vorn {

struct Window {
    std::span<const Candle> candles;
    std::span<const Trade> trades;
    std::span<const BookEvent> book;
    std::span<const FundingEvent> funding;
    std::span<const OiEvent> oi;
    std::span<const LiquidationEvent> liquidations;
    // The level pool the book events index into.
    std::span<const PriceLevel> levels;
    // The numbers of the pool's prices, when the object keeps them for exactly this pool (see
    // price_ids.hpp); null otherwise. Only speeds book work up: results are the same without.
    const PriceIds* price_ids = nullptr;
    // The dataset's levels grouped by price (see price_writes.hpp), set only with price_ids.
    const PriceWrites* price_writes = nullptr;
    // The index of the window's first book event in the dataset.
    std::size_t first_event = 0;

    std::span<const PriceLevel> bids(const BookEvent& e) const { return levels.subspan(e.first_level, e.bid_count); }
    std::span<const PriceLevel> asks(const BookEvent& e) const {
        return levels.subspan(e.first_level + e.bid_count, e.ask_count);
    }
};

// The whole dataset as a window.
inline Window whole_window(const Dataset& d) {
    Window window;
    for_each_list(d, window, [](const auto& list, auto& range) { range = list; });
    window.levels = d.levels;
    return window;
}

}  // namespace vorn
