// Liquidation map: every liquidation on the price grid, ordered by time, binned price, side.
#include <cassert>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/panels/arithmetic/bin_price.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/compute_panel.hpp"

namespace vorn {

Result<PanelData> compute_liquidation_map(const VornPanel::LiquidationMap& params, const Window& window) {
    const double w = params.price_bin;
    assert(w > 0.0 && std::isfinite(w));  // a validated spec's

    PanelData::LiquidationMap out;
    out.events.reserve(window.liquidations.size());
    for (const LiquidationEvent& e : window.liquidations)
        out.events.push_back(LiquidationMapEvent{e.ts, bin_price(e.price, w), round8(e.qty), e.side});

    // Stable: entries equal in all three keys keep their recorded order, whatever their raw
    // prices or quantities.
    std::stable_sort(out.events.begin(), out.events.end(),
                     [](const LiquidationMapEvent& a, const LiquidationMapEvent& b) {
                         if (a.ts != b.ts) return a.ts < b.ts;
                         const std::uint64_t ka = total_order_key(a.price_bin);
                         const std::uint64_t kb = total_order_key(b.price_bin);
                         if (ka != kb) return ka < kb;
                         return static_cast<int>(a.side) < static_cast<int>(b.side);  // long first
                     });
    return PanelData{std::move(out)};
}

}  // namespace vorn
