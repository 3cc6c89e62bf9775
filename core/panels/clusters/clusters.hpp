#pragma once
// Footprint clusters: the footprint's buy and sell volume per price bin, split further by time
// bucket, the way a footprint chart shows one column of bins per candle.
#include <cstdint>
#include <vector>

#include "core/dataset/window.hpp"
#include "core/result.hpp"

namespace vorn {

struct Clusters {
    std::vector<std::int64_t> time;  // start of each bucket that holds trades, ascending (ms)
    std::vector<double> price;       // lower edge of each bin that holds trades, ascending
    // Row-major, one row per entry of time and one cell per price: the base-asset volume bought
    // (buy_vol) and sold (sell_vol) by aggressors, plus zero where the bucket has no trade there.
    std::vector<double> buy_vol;
    std::vector<double> sell_vol;
};

// The footprint's arithmetic per (bucket, bin) cell: prices binned with bin_price, buckets with
// bucket_index, quantities summed in trade order from plus zero, every value through round8. With
// one bucket spanning the window, price and the single rows equal the footprint's lists bit for
// bit. Rows are summed on the worker pool. Fails for a price_bin that is not a positive finite
// number, a bucket_ms below 1, more cells than the panels' limit, or bucket starts below the
// smallest 64-bit timestamp.
Result<Clusters> compute_clusters(double price_bin, std::int64_t bucket_ms, const Window& window);

}  // namespace vorn
