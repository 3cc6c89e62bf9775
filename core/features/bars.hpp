#pragma once
// Time bars of a window's trades on a regular grid of buckets, with the liquidations, funding and
// open interest of each bucket: the per-bucket columns of the batch `bars` table.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/dataset/window.hpp"
#include "core/result.hpp"

namespace vorn {

struct Bars {
    // One entry per bucket [first_start + i * bucket_ms, first_start + (i + 1) * bucket_ms).
    std::vector<double> open;   // first trade price in ts order (NaN without trades)
    std::vector<double> high;
    std::vector<double> low;
    std::vector<double> close;  // last trade price in ts order
    std::vector<double> volume;       // quantity, summed in trade order from zero
    std::vector<double> buy_volume;   // of buying aggressors
    std::vector<double> sell_volume;  // of selling aggressors
    std::vector<double> delta;        // buy_volume - sell_volume
    std::vector<double> cum_delta;    // running sum of delta over the buckets, from zero
    std::vector<std::int64_t> trades;
    std::vector<double> vwap;  // sum of price * qty over volume (NaN without volume)
    std::vector<double> liquidated_long;   // quantity of long positions liquidated
    std::vector<double> liquidated_short;
    std::vector<double> funding_rate;   // the last record with ts before the bucket's end
    std::vector<double> open_interest;  // (NaN before the first)
};

// Fails for a bucket_ms below 1, bucket bounds beyond the 64-bit range or more buckets than the
// panels' cell limit. Trades and liquidations outside the grid are not counted.
Result<Bars> compute_bars(const Window& window, std::int64_t first_start, std::int64_t bucket_ms, std::size_t count);

}  // namespace vorn
