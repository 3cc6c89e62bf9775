#pragma once
// The heatmap's price columns: L bins of width w around the binned mid price, and for each bin
// the integer key bounds that select exactly the book prices x with p <= x < round8(w + p).
#include <cstdint>
#include <vector>

namespace vorn {

// The midpoint of the best bid and ask; halves each first when a sum could overflow.
double book_mid(double bid, double ask);

// Maps a bound of an ordinary floating comparison onto total_order_key space: for a non-NaN
// bound y and a non-NaN x, x >= y exactly when total_order_key(x) >= cell_bound_key(y) (both
// zeros map to the key of minus zero, as they compare equal). Any NaN x falls outside every
// range between such keys, because NaN keys lie beyond those of both infinities.
std::uint64_t cell_bound_key(double y);

struct PriceGrid {
    std::vector<double> price;       // lower edge p of each bin, ascending
    std::vector<std::uint64_t> lo;   // cell_bound_key(p)
    std::vector<std::uint64_t> hi;   // cell_bound_key(round8(w + p)); a cell with lo >= hi is empty
    // The union of all cells' key ranges, [range_lo, range_hi): book prices outside it never
    // reach a cell. Empty (range_lo == range_hi) when every cell is.
    std::uint64_t range_lo = 0;
    std::uint64_t range_hi = 0;

    bool cell_empty(std::size_t i) const { return lo[i] >= hi[i]; }
};

// depth_levels >= 1, w positive and finite.
PriceGrid build_price_grid(double mid, double w, std::uint32_t depth_levels);

}  // namespace vorn
