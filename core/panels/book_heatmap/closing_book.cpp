#include "core/panels/book_heatmap/closing_book.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/runtime/bit_keyed_map.hpp"
#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {
namespace {

// Prices already decided, by key in a hash map.
class RemovedByKey {
public:
    bool& at(std::uint64_t key, const std::uint32_t*, std::size_t) { return map_.find_or_insert(key, false); }

private:
    BitKeyedMap<bool> map_;
};

// The same by the dataset's price numbers, in a flat array: no hashing.
class RemovedByNumber {
public:
    explicit RemovedByNumber(std::size_t distinct) : flags_(distinct, 0) {}
    std::uint8_t& at(std::uint64_t, const std::uint32_t* numbers, std::size_t i) { return flags_[numbers[i]]; }
    bool decided(std::uint32_t number) const { return flags_[number] != 0; }

private:
    std::vector<std::uint8_t> flags_;
};

// Finds the best price of one side of the closing book by reading its events backwards: the
// first time a price is met going backwards, its level is the last one applied, so it decides
// whether the price rests in the closing book. A price that cannot beat the best found so far
// needs no further thought, so nearly every level costs one comparison. Only prices beyond the
// best candidate whose last level removed them have to be remembered, to ignore their earlier
// levels.
template <class Removed>
class BestPriceSearch {
public:
    // `higher_is_better`: bids look for the highest key, asks for the lowest.
    BestPriceSearch(bool higher_is_better, Removed removed) : higher_(higher_is_better), removed_(std::move(removed)) {}

    // Levels of one event, visited last to first, with their price numbers (null without them).
    void visit_backwards(std::span<const PriceLevel> levels, const std::uint32_t* numbers) {
        for (std::size_t i = levels.size(); i-- > 0;) {
            const PriceLevel& level = levels[i];
            const std::uint64_t key = total_order_key(level.price);
            if (found_ && !beats(key, best_)) continue;
            auto& decided = removed_.at(key, numbers, i);
            if (decided) continue;  // a later level removed it
            if (level.qty == 0.0) {
                decided = true;
            } else {
                best_ = key;
                found_ = true;
            }
        }
    }

    // After the later events: the covered levels [from, to) grouped by price, prices taken from
    // the best one on. Each is decided by its last level there, unless a later level decided it.
    void visit_grouped(const PriceWrites& grouped, PriceWrites::Side side, std::uint64_t from, std::uint64_t to,
                       std::span<const PriceLevel> pool) {
        const std::span<const std::uint64_t> keys = grouped.keys();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::size_t r = higher_ ? keys.size() - 1 - i : i;
            if (found_ && !beats(keys[r], best_)) return;
            if (removed_.decided(grouped.number(r))) continue;
            const std::span<const std::uint32_t> list = grouped.writes(side, r);
            const auto last = std::lower_bound(list.begin(), list.end(), to);
            if (last == list.begin() || *(last - 1) < from || pool[*(last - 1)].qty == 0.0) continue;
            best_ = keys[r];
            found_ = true;
            return;
        }
    }

    bool found() const { return found_; }
    double best() const { return from_total_order_key(best_); }

private:
    bool beats(std::uint64_t a, std::uint64_t b) const { return higher_ ? a > b : a < b; }

    bool higher_;
    bool found_ = false;
    std::uint64_t best_ = 0;
    Removed removed_;  // removed in the closing book, beyond the current best
};

template <class Removed>
std::optional<BestPrices> search_best_prices(const Window& window, Removed bid_removed, Removed ask_removed) {
    const std::span<const BookEvent> book = window.book;
    BestPriceSearch<Removed> bid(true, std::move(bid_removed));
    BestPriceSearch<Removed> ask(false, std::move(ask_removed));
    const std::uint32_t* numbers = window.price_ids != nullptr ? window.price_ids->of_levels().data() : nullptr;
    // Back to the last snapshot, which replaced the whole book: nothing before it is left.
    for (std::size_t i = book.size(); i-- > 0;) {
        const BookEvent& e = book[i];
        bid.visit_backwards(window.bids(e), numbers != nullptr ? numbers + e.first_level : nullptr);
        ask.visit_backwards(window.asks(e), numbers != nullptr ? numbers + e.first_level + e.bid_count : nullptr);
        if (e.kind == BookEventKind::Snapshot) break;
    }
    if (!bid.found() || !ask.found()) return std::nullopt;
    return BestPrices{bid.best(), ask.best()};
}


// With the levels grouped by price: the events after the covered ones read backwards as above,
// then, unless a snapshot among them ended the search, the covered levels since the last covered
// snapshot of the window by price.
std::optional<BestPrices> grouped_best_prices(const Window& window) {
    const PriceWrites& grouped = *window.price_writes;
    const std::span<const BookEvent> book = window.book;
    const std::size_t covered =
        grouped.events() > window.first_event ? std::min(book.size(), grouped.events() - window.first_event) : 0;
    const std::size_t distinct = window.price_ids->distinct();
    BestPriceSearch<RemovedByNumber> bid(true, RemovedByNumber(distinct));
    BestPriceSearch<RemovedByNumber> ask(false, RemovedByNumber(distinct));
    const std::uint32_t* numbers = window.price_ids->of_levels().data();
    bool snapshot = false;
    for (std::size_t i = book.size(); i-- > covered && !snapshot;) {
        const BookEvent& e = book[i];
        bid.visit_backwards(window.bids(e), numbers + e.first_level);
        ask.visit_backwards(window.asks(e), numbers + e.first_level + e.bid_count);
        snapshot = e.kind == BookEventKind::Snapshot;
    }
    if (!snapshot && covered > 0) {
        const BookEvent& last = book[covered - 1];
        std::uint64_t from = book.front().first_level;
        const std::uint64_t to = last.first_level + last.bid_count + last.ask_count;
        const std::span<const std::uint64_t> snapshots = grouped.snapshots();
        const auto after = std::upper_bound(snapshots.begin(), snapshots.end(), window.first_event + covered - 1);
        if (after != snapshots.begin() && *(after - 1) >= window.first_event) {
            from = book[*(after - 1) - window.first_event].first_level;
        }
        bid.visit_grouped(grouped, PriceWrites::kBids, from, to, window.levels);
        ask.visit_grouped(grouped, PriceWrites::kAsks, from, to, window.levels);
    }
    if (!bid.found() || !ask.found()) return std::nullopt;
    return BestPrices{bid.best(), ask.best()};
}

}  // namespace

std::optional<BestPrices> closing_best_prices(const Window& window) {
    if (window.price_writes != nullptr) return grouped_best_prices(window);
    if (window.price_ids != nullptr) {
        const std::size_t distinct = window.price_ids->distinct();
        return search_best_prices(window, RemovedByNumber(distinct), RemovedByNumber(distinct));
    }
    return search_best_prices(window, RemovedByKey(), RemovedByKey());
}

}  // namespace vorn
