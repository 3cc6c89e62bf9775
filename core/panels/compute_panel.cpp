#include "core/panels/compute_panel.hpp"

namespace vorn {
namespace {

// The parts of one panel's computation: its window, options and carries.
struct PanelCall {
    const Window& window;
    PanelOptions options;
    std::int64_t end;
    const PanelCarry* previous;
    PanelCarry* next;
};

// Each kind's computation under one name, so that a panel is computed by visiting its parameters.
Result<PanelData> compute(const VornPanel::Footprint& params, const PanelCall& c) {
    return compute_footprint(params, c.window, c.previous && c.previous->footprint ? &*c.previous->footprint : nullptr,
                             c.next ? &c.next->footprint : nullptr);
}
Result<PanelData> compute(const VornPanel::BookHeatmap& params, const PanelCall& c) {
    return compute_book_heatmap(params, c.window, c.options.heatmap_detail, c.end, c.options.heatmap_mid,
                                c.previous && c.previous->heatmap ? &*c.previous->heatmap : nullptr,
                                c.next ? &c.next->heatmap : nullptr);
}
Result<PanelData> compute(const VornPanel::LiquidationMap& params, const PanelCall& c) {
    return compute_liquidation_map(params, c.window);
}
Result<PanelData> compute(const VornPanel::FundingOiDivergence& params, const PanelCall& c) {
    return compute_funding_oi_divergence(params, c.window);
}

}  // namespace

Result<PanelData> compute_panel(const VornPanel& panel, const Window& window, PanelOptions options, std::int64_t end,
                                const PanelCarry* previous, PanelCarry* next) {
    const PanelCall call{window, options, end, previous, next};
    return std::visit([&](const auto& params) { return compute(params, call); }, panel.value);
}

}  // namespace vorn
