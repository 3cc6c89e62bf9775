#include "core/panels/book_heatmap/closing_book.hpp"

#include <bit>
#include <cstdint>
#include <span>

#include "core/panels/arithmetic/bit_keyed_map.hpp"
#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {
namespace {

// Only membership and the final extremes matter here, not order, so a hash map per side keeps
// each level O(1); the extremes are found once at the end.
void apply_levels(BitKeyedMap<double>& side, std::span<const PriceLevel> levels) {
    for (const PriceLevel& level : levels) {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(level.price);
        if (level.qty == 0.0) side.erase(key);  // both zeros remove
        else side.insert_or_assign(key, level.qty);
    }
}

}  // namespace

std::optional<BestPrices> closing_best_prices(const Window& window) {
    const std::span<const BookEvent> book = window.book;
    // A snapshot replaces the whole book, so the closing book depends only on the last snapshot
    // and what follows it.
    std::size_t first = book.size();
    while (first > 0 && book[first - 1].kind != BookEventKind::Snapshot) --first;
    if (first > 0) --first;

    BitKeyedMap<double> bids;
    BitKeyedMap<double> asks;
    for (std::size_t i = first; i < book.size(); ++i) {
        const BookEvent& e = book[i];
        if (e.kind == BookEventKind::Snapshot) {
            bids.clear();
            asks.clear();
        }
        apply_levels(bids, window.bids(e));
        apply_levels(asks, window.asks(e));
    }
    if (bids.empty() || asks.empty()) return std::nullopt;

    std::uint64_t best_bid = 0;
    std::uint64_t best_ask = UINT64_MAX;
    bids.for_each([&](std::uint64_t bits, double) {
        const std::uint64_t key = total_order_key(std::bit_cast<double>(bits));
        if (key > best_bid) best_bid = key;
    });
    asks.for_each([&](std::uint64_t bits, double) {
        const std::uint64_t key = total_order_key(std::bit_cast<double>(bits));
        if (key < best_ask) best_ask = key;
    });
    return BestPrices{from_total_order_key(best_bid), from_total_order_key(best_ask)};
}

}  // namespace vorn
