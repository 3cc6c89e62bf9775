#pragma once
// The time grids of the panels that have one, sized from the window before anything is allocated,
// so a frame can be refused as a whole when its panels together would hold too much.
#include <cstdint>
#include <optional>

#include "core/dataset/window.hpp"
#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/compute_panel.hpp"
#include "core/spec/spec.hpp"

namespace vorn {

// The heatmap's rows: one bucket of `b` ms from the window's first to its last book event;
// nothing without book events.
std::optional<BucketRange> book_heatmap_buckets(const Window& window, std::int64_t b);

// The divergence's rows: buckets of `b` ms over the funding, OI and candle records of the
// window; nothing when all three are empty.
std::optional<BucketRange> divergence_buckets(const Window& window, std::int64_t b);

// The cells a panel's grid will hold, as each panel counts them against kMaxPanelCells: rows x
// depth levels for the heatmap, rows for the divergence, none for the panels sized by their data.
Int128 panel_grid_cells(const VornPanel& panel, const Window& window);

}  // namespace vorn
