#include "core/panels/panel_grid.hpp"

#include <type_traits>
#include <variant>

namespace vorn {

std::optional<BucketRange> book_heatmap_buckets(const Window& window, std::int64_t b) {
    if (window.book.empty()) return std::nullopt;
    return bucket_range(window.book.front().ts, window.book.back().ts, b);
}

namespace {

// The cells of each kind's grid; kinds without one have none.
Int128 grid_cells(const VornPanel::BookHeatmap& params, const Window& window) {
    if (params.bucket_ms < 1) return 0;
    std::optional<BucketRange> rows = book_heatmap_buckets(window, params.bucket_ms);
    return rows ? rows->count * Int128{params.depth_levels} : Int128{0};
}
Int128 grid_cells(const VornPanel::FundingOiDivergence& params, const Window& window) {
    if (params.bucket_ms < 1) return 0;
    std::optional<BucketRange> rows = divergence_buckets(window, params.bucket_ms);
    return rows ? rows->count : Int128{0};
}
Int128 grid_cells(const VornPanel::Footprint&, const Window&) { return 0; }
Int128 grid_cells(const VornPanel::LiquidationMap&, const Window&) { return 0; }

}  // namespace

Int128 panel_grid_cells(const VornPanel& panel, const Window& window) {
    return std::visit([&](const auto& params) { return grid_cells(params, window); }, panel.value);
}

}  // namespace vorn
