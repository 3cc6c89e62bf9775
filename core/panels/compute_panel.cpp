#include "core/panels/compute_panel.hpp"

namespace vorn {

Result<PanelData> compute_panel(const VornPanel& panel, const Window& window, PanelOptions options) {
    return std::visit(
        [&](const auto& params) -> Result<PanelData> {
            using P = std::decay_t<decltype(params)>;
            if constexpr (std::is_same_v<P, VornPanel::Footprint>) return compute_footprint(params, window);
            else if constexpr (std::is_same_v<P, VornPanel::BookHeatmap>) return compute_book_heatmap(params, window, options.heatmap_detail);
            else if constexpr (std::is_same_v<P, VornPanel::LiquidationMap>) return compute_liquidation_map(params, window);
            else return compute_funding_oi_divergence(params, window);
        },
        panel.value);
}

}  // namespace vorn
