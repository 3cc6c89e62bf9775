#include "core/panels/book_heatmap/closing_book.hpp"

#include <cstdint>
#include <span>

#include "core/runtime/bit_keyed_map.hpp"
#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {
namespace {

// Finds the best price of one side of the closing book by reading its events backwards: the
// first time a price is met going backwards, its level is the last one applied, so it decides
// whether the price rests in the closing book. A price that cannot beat the best found so far
// needs no further thought, so nearly every level costs one comparison. Only prices beyond the
// best candidate whose last level removed them have to be remembered, to ignore their earlier
// levels.
class BestPriceSearch {
public:
    // `higher_is_better`: bids look for the highest key, asks for the lowest.
    explicit BestPriceSearch(bool higher_is_better) : higher_(higher_is_better) {}

    // Levels of one event, visited last to first.
    void visit_backwards(std::span<const PriceLevel> levels) {
        for (std::size_t i = levels.size(); i-- > 0;) {
            const PriceLevel& level = levels[i];
            const std::uint64_t key = total_order_key(level.price);
            if (found_ && !beats(key, best_)) continue;
            bool& decided = removed_.find_or_insert(key, false);
            if (decided) continue;  // a later level removed it
            if (level.qty == 0.0) {
                decided = true;
            } else {
                best_ = key;
                found_ = true;
            }
        }
    }

    bool found() const { return found_; }
    double best() const { return from_total_order_key(best_); }

private:
    bool beats(std::uint64_t a, std::uint64_t b) const { return higher_ ? a > b : a < b; }

    bool higher_;
    bool found_ = false;
    std::uint64_t best_ = 0;
    BitKeyedMap<bool> removed_;  // removed in the closing book, beyond the current best
};

}  // namespace

std::optional<BestPrices> closing_best_prices(const Window& window) {
    const std::span<const BookEvent> book = window.book;
    BestPriceSearch bid(true);
    BestPriceSearch ask(false);
    // Back to the last snapshot, which replaced the whole book: nothing before it is left.
    for (std::size_t i = book.size(); i-- > 0;) {
        const BookEvent& e = book[i];
        bid.visit_backwards(window.bids(e));
        ask.visit_backwards(window.asks(e));
        if (e.kind == BookEventKind::Snapshot) break;
    }
    if (!bid.found() || !ask.found()) return std::nullopt;
    return BestPrices{bid.best(), ask.best()};
}

}  // namespace vorn
