#pragma once
// The book at the end of a window, reduced to what the heatmap needs of it: its best prices.
#include <optional>

#include "core/dataset/window.hpp"

namespace vorn {

struct BestPrices {
    double bid;  // the highest bid price by totalOrder
    double ask;  // the lowest ask price by totalOrder
};

// The best prices of the book that replaying the window's events from an empty book leaves
// (snapshots empty both sides, zero quantities remove a price, any other quantity is stored).
// Empty when either side of that closing book is empty.
std::optional<BestPrices> closing_best_prices(const Window& window);

}  // namespace vorn
