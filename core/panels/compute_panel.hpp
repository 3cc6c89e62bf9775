#pragma once
// One computation per panel kind: a pure function of the panel's parameters and a read-only window.
// The parameters are those of a validated spec (validate_spec: positive finite price bins, bucket
// widths and depths of at least 1); the computations assume it and do not check it again.
#include <cstdint>
#include <limits>
#include <optional>

#include "core/dataset/window.hpp"
#include "core/panels/book_heatmap/book_heatmap_carry.hpp"
#include "core/panels/footprint/footprint_carry.hpp"
#include "core/panels/panel_data.hpp"
#include "core/result.hpp"
#include "core/spec/spec.hpp"

namespace vorn {

// What a frame computes beyond the panels' JSON members.
struct PanelOptions {
    bool heatmap_detail = false;  // the book heatmap's per-side cells, last price and mid
    // A mid that centres every book heatmap's grid in place of the closing book's own (NaN: its
    // own). Several books summed on one grid need it; their cells are then computed even when
    // this book's closing state lacks a side.
    double heatmap_mid = std::numeric_limits<double>::quiet_NaN();
};

// What a panel keeps from one frame of a playback to the next (kinds that keep nothing: empty).
struct PanelCarry {
    std::optional<BookHeatmapCarry> heatmap;
    std::optional<FootprintCarry> footprint;
};

// The kinds that carry work take the previous frame's carry (null: none, or not a playback) and,
// with `next` given, leave theirs there; `end` is the window's end (min(cursor, to_ts)).
Result<PanelData> compute_footprint(const VornPanel::Footprint& params, const Window& window,
                                    const FootprintCarry* previous = nullptr,
                                    std::optional<FootprintCarry>* next = nullptr);
Result<PanelData> compute_book_heatmap(const VornPanel::BookHeatmap& params, const Window& window,
                                       bool detail = false, std::int64_t end = 0,
                                       double grid_mid = std::numeric_limits<double>::quiet_NaN(),
                                       const BookHeatmapCarry* previous = nullptr,
                                       std::optional<BookHeatmapCarry>* next = nullptr);
Result<PanelData> compute_liquidation_map(const VornPanel::LiquidationMap& params, const Window& window);
Result<PanelData> compute_funding_oi_divergence(const VornPanel::FundingOiDivergence& params, const Window& window);

// Dispatches on the panel's kind. With `next`, a panel that carries work leaves its carry there,
// continuing `previous` (the same panel's carry from the previous frame of a playback: the same
// spec, dataset and window start, an end not earlier) where it can.
Result<PanelData> compute_panel(const VornPanel& panel, const Window& window, PanelOptions options = {},
                                std::int64_t end = 0, const PanelCarry* previous = nullptr,
                                PanelCarry* next = nullptr);

}  // namespace vorn
