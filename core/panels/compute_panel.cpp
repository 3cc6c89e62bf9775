#include "core/panels/compute_panel.hpp"

namespace vorn {
namespace {

// Each kind's computation under one name, so that a panel is computed by visiting its parameters.
Result<PanelData> compute(const VornPanel::Footprint& params, const Window& window, PanelOptions) {
    return compute_footprint(params, window);
}
Result<PanelData> compute(const VornPanel::BookHeatmap& params, const Window& window, PanelOptions options) {
    return compute_book_heatmap(params, window, options.heatmap_detail);
}
Result<PanelData> compute(const VornPanel::LiquidationMap& params, const Window& window, PanelOptions) {
    return compute_liquidation_map(params, window);
}
Result<PanelData> compute(const VornPanel::FundingOiDivergence& params, const Window& window, PanelOptions) {
    return compute_funding_oi_divergence(params, window);
}

}  // namespace

Result<PanelData> compute_panel(const VornPanel& panel, const Window& window, PanelOptions options) {
    return std::visit([&](const auto& params) { return compute(params, window, options); }, panel.value);
}

}  // namespace vorn
