#pragma once
// One computation per panel kind: a pure function of the panel's parameters and a read-only window.
// The parameters are those of a validated spec (validate_spec: positive finite price bins, bucket
// widths and depths of at least 1); the computations assume it and do not check it again.
#include "core/dataset/window.hpp"
#include "core/panels/panel_data.hpp"
#include "core/result.hpp"
#include "core/spec/spec.hpp"

namespace vorn {

// What a frame computes beyond the panels' JSON members.
struct PanelOptions {
    bool heatmap_detail = false;  // the book heatmap's per-side cells, last price and mid
};

Result<PanelData> compute_footprint(const VornPanel::Footprint& params, const Window& window);
Result<PanelData> compute_book_heatmap(const VornPanel::BookHeatmap& params, const Window& window,
                                       bool detail = false);
Result<PanelData> compute_liquidation_map(const VornPanel::LiquidationMap& params, const Window& window);
Result<PanelData> compute_funding_oi_divergence(const VornPanel::FundingOiDivergence& params, const Window& window);

// Dispatches on the panel's kind.
Result<PanelData> compute_panel(const VornPanel& panel, const Window& window, PanelOptions options = {});

}  // namespace vorn
