#pragma once
// The whole book replayed beside the heatmap's grid, for the mid at each row's end (detail only).
#include <cmath>

#include "core/dataset/window.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/book_heatmap/price_grid.hpp"
#include "core/panels/book_heatmap/ranged_book_side.hpp"

namespace vorn {

struct WholeBook {
    RangedBookSide bids{0, UINT64_MAX};
    RangedBookSide asks{0, UINT64_MAX};

    void apply(const BookEvent& e, const Window& window) {
        if (e.kind == BookEventKind::Snapshot) {
            bids.clear();
            asks.clear();
        }
        for (const PriceLevel& level : window.bids(e)) bids.apply(total_order_key(level.price), level.qty);
        for (const PriceLevel& level : window.asks(e)) asks.apply(total_order_key(level.price), level.qty);
    }
    double mid() const {
        if (bids.empty() || asks.empty()) return std::nan("");
        return book_mid(from_total_order_key(bids.highest_key()), from_total_order_key(asks.lowest_key()));
    }
};

}  // namespace vorn
