#include "core/panels/panel_grid.hpp"

#include <type_traits>
#include <variant>

namespace vorn {

std::optional<BucketRange> book_heatmap_buckets(const Window& window, std::int64_t b) {
    if (window.book.empty()) return std::nullopt;
    return bucket_range(window.book.front().ts, window.book.back().ts, b);
}

Int128 panel_grid_cells(const VornPanel& panel, const Window& window) {
    return std::visit(
        [&](const auto& params) -> Int128 {
            using P = std::decay_t<decltype(params)>;
            if constexpr (std::is_same_v<P, VornPanel::BookHeatmap>) {
                if (params.bucket_ms < 1) return 0;
                std::optional<BucketRange> rows = book_heatmap_buckets(window, params.bucket_ms);
                return rows ? rows->count * Int128{params.depth_levels} : Int128{0};
            } else if constexpr (std::is_same_v<P, VornPanel::FundingOiDivergence>) {
                if (params.bucket_ms < 1) return 0;
                std::optional<BucketRange> rows = divergence_buckets(window, params.bucket_ms);
                return rows ? rows->count : Int128{0};
            } else {
                return 0;
            }
        },
        panel.value);
}

}  // namespace vorn
