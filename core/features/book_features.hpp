#pragma once
// Order-book features on a regular grid of moments: the book replayed up to the end of each time
// bucket, reduced to its best prices and the quantity resting near the mid.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/dataset/window.hpp"
#include "core/result.hpp"

namespace vorn {

struct BookFeatures {
    // One entry per bucket end.
    std::vector<double> best_bid;
    std::vector<double> best_ask;
    std::vector<double> mid;
    std::vector<double> spread;
    // Row-major, one row per bucket end and one cell per depth.
    std::vector<double> bid_depth;
    std::vector<double> ask_depth;
    std::vector<double> imbalance;
};

// The book at the moments first_end + i * bucket_ms for i in [0, count): every event of the window
// with ts before the moment applied in order, starting from the window's first snapshot (events
// before it are ignored; a snapshot replaces both sides, a quantity of zero removes a price, any
// other quantity is stored). At each moment:
// - best_bid and best_ask: the highest bid and lowest ask price (NaN for an empty side);
// - mid = (best_bid + best_ask) * 0.5 and spread = best_ask - best_bid;
// - for each depth k: bid_depth the total bid quantity at prices >= mid - k * price_bin, ask_depth
//   the total ask quantity at prices <= mid + k * price_bin (each summed from the best price
//   outwards), imbalance = (bid_depth - ask_depth) / (bid_depth + ask_depth).
// With either side empty, mid, spread, depths and imbalances are NaN; so is an imbalance of 0/0.
// Fails for a price_bin that is not a positive finite number, a bucket_ms below 1, moments beyond
// the 64-bit range or more cells than the panels' limit.
Result<BookFeatures> compute_book_features(const Window& window, std::int64_t first_end, std::int64_t bucket_ms,
                                           std::size_t count, double price_bin,
                                           std::span<const std::uint32_t> depths);

}  // namespace vorn
