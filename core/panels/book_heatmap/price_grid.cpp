#include "core/panels/book_heatmap/price_grid.hpp"

#include <cmath>
#include <limits>

#include "core/panels/arithmetic/bin_price.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {

double book_mid(double bid, double ask) {
    constexpr double kHalfMax = std::numeric_limits<double>::max() / 2;
    if (!(std::fabs(bid) > kHalfMax) && !(std::fabs(ask) > kHalfMax)) return (bid + ask) * 0.5;
    const double half_bid = bid * 0.5;
    const double half_ask = ask * 0.5;
    return half_bid + half_ask;
}

std::uint64_t cell_bound_key(double y) { return total_order_key(y == 0.0 ? -0.0 : y); }

PriceGrid build_price_grid(double mid, double w, std::uint32_t depth_levels) {
    PriceGrid grid;
    grid.price.resize(depth_levels);
    grid.lo.resize(depth_levels);
    grid.hi.resize(depth_levels);

    const double centre = bin_price(mid, w);
    const std::int64_t half = depth_levels / 2;  // rounded down: the centre is just above the middle
    bool any_cell = false;
    for (std::uint32_t i = 0; i < depth_levels; ++i) {
        // Separate statements: the product and the sum are each rounded, never fused.
        const double offset = static_cast<double>(static_cast<std::int64_t>(i) - half);
        const double step = offset * w;
        const double p = round8(step + centre);
        const double p_hi = round8(w + p);
        grid.price[i] = p;
        if (std::isnan(p) || std::isnan(p_hi)) {
            grid.lo[i] = grid.hi[i] = 0;  // compares false with every price: no entry
            continue;
        }
        grid.lo[i] = cell_bound_key(p);
        grid.hi[i] = cell_bound_key(p_hi);
        if (grid.cell_empty(i)) continue;
        if (!any_cell || grid.lo[i] < grid.range_lo) grid.range_lo = grid.lo[i];
        if (!any_cell || grid.hi[i] > grid.range_hi) grid.range_hi = grid.hi[i];
        any_cell = true;
    }
    return grid;
}

}  // namespace vorn
