// Book heatmap: resting book quantity per price bin (around the closing mid) and time bucket.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/arithmetic/panel_limits.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/book_heatmap/closing_book.hpp"
#include "core/panels/book_heatmap/price_grid.hpp"
#include "core/panels/book_heatmap/ranged_book_side.hpp"
#include "core/panels/compute_panel.hpp"

namespace vorn {
namespace {

// The cells whose sums an applied level may have changed since the last row was computed; only
// those are summed again, the rest keep the values copied from the row before.
class DirtyCells {
public:
    explicit DirtyCells(const PriceGrid& grid) : grid_(grid), dirty_(grid.price.size(), 1), all_(true) {}

    // Every cell that contains the key. Cells are sorted by both bounds, so those holding a key are
    // one run: from the first whose upper bound lies above it, while the lower bound is not above.
    void add(std::uint64_t key) {
        if (all_) return;
        const std::vector<std::uint64_t>& hi = grid_.hi;
        std::size_t i = static_cast<std::size_t>(std::upper_bound(hi.begin(), hi.end(), key) - hi.begin());
        for (; i < hi.size() && grid_.lo[i] <= key; ++i) {
            if (grid_.lo[i] < hi[i]) dirty_[i] = 1;
        }
    }
    void all() { all_ = true; }
    bool is_dirty(std::size_t cell) const { return all_ || dirty_[cell] != 0; }
    void reset() {
        all_ = false;
        std::fill(dirty_.begin(), dirty_.end(), 0);
    }

private:
    const PriceGrid& grid_;
    std::vector<std::uint8_t> dirty_;
    bool all_;
};

void apply_levels(RangedBookSide& side, std::span<const PriceLevel> levels, DirtyCells& dirty) {
    for (const PriceLevel& level : levels) {
        const std::uint64_t key = total_order_key(level.price);
        if (side.apply(key, level.qty)) dirty.add(key);
    }
}

// The row's dirty cells, summed again from the current book in ascending key order.
void compute_cells(const PriceGrid& grid, const RangedBookSide& bids, const RangedBookSide& asks,
                   const DirtyCells& dirty, double* row) {
    RangedBookSide::Position bid_at{}, ask_at{};
    // Adjacent bins normally share an edge (hi of one is lo of the next): then each side's walk
    // simply continues where the previous cell stopped, without a new search.
    bool continues = false;
    std::uint64_t last_hi = 0;
    const std::size_t cells = grid.price.size();
    for (std::size_t i = 0; i < cells; ++i) {
        const std::uint64_t lo = grid.lo[i];
        const std::uint64_t hi = grid.hi[i];
        if (lo >= hi || !dirty.is_dirty(i)) {
            continues = false;
            continue;
        }
        if (!continues || lo != last_hi) {
            bid_at = bids.seek(lo);
            ask_at = asks.seek(lo);
        }
        const double bid_sum = bids.sum_below(bid_at, hi);
        const double ask_sum = asks.sum_below(ask_at, hi);
        row[i] = round8(bid_sum + ask_sum);
        continues = true;
        last_hi = hi;
    }
}

}  // namespace

Result<PanelData> compute_book_heatmap(const VornPanel::BookHeatmap& params, const Window& window) {
    const double w = params.price_bin;
    const std::int64_t b = params.bucket_ms;
    const std::uint32_t depth = params.depth_levels;
    if (!(w > 0.0) || !std::isfinite(w)) return VornError::bad_spec("book_heatmap price_bin must be a positive number");
    if (b < 1) return VornError::bad_spec("book_heatmap bucket_ms must be > 0");
    if (depth == 0) return VornError::bad_spec("book_heatmap depth_levels must be > 0");

    PanelData::BookHeatmap out;
    const std::span<const BookEvent> book = window.book;
    if (book.empty()) return PanelData{std::move(out)};

    const std::optional<BestPrices> best = closing_best_prices(window);
    if (!best) return PanelData{std::move(out)};

    // Sized before anything grid-sized is allocated: the product of up to 2^64 rows and 2^32
    // levels fits 128 bits.
    const BucketRange range = bucket_range(book.front().ts, book.back().ts, b);
    if (range.count * depth > Int128{kMaxPanelCells}) return VornError::data("book_heatmap grid too large");
    if (!range.starts_representable()) return VornError::data("book_heatmap time buckets out of range");

    PriceGrid grid = build_price_grid(book_mid(best->bid, best->ask), w, depth);
    const std::size_t rows = static_cast<std::size_t>(range.count);
    const std::size_t cells = depth;
    out.time.resize(rows);
    out.intensity.resize(rows * cells);

    // Replayed again from an empty book, bucket by bucket; only prices the grid can see are kept.
    RangedBookSide bids(grid.range_lo, grid.range_hi);
    RangedBookSide asks(grid.range_lo, grid.range_hi);
    DirtyCells dirty(grid);  // the first row computes every cell
    std::size_t next = 0;
    Int128 bucket_start = range.first_start;
    for (std::size_t k = 0; k < rows; ++k) {
        // 128-bit: the last bucket's end may lie past INT64_MAX.
        const Int128 bucket_end = bucket_start + b;
        for (; next < book.size() && Int128{book[next].ts} < bucket_end; ++next) {
            const BookEvent& e = book[next];
            if (e.kind == BookEventKind::Snapshot) {
                if (!bids.empty() || !asks.empty()) dirty.all();
                bids.clear();
                asks.clear();
            }
            apply_levels(bids, window.bids(e), dirty);
            apply_levels(asks, window.asks(e), dirty);
        }
        double* row = out.intensity.data() + k * cells;
        if (k > 0) std::memcpy(row, row - cells, cells * sizeof(double));
        else std::fill(row, row + cells, -0.0);  // empty cells hold minus zero, never computed
        compute_cells(grid, bids, asks, dirty, row);
        dirty.reset();
        out.time[k] = static_cast<std::int64_t>(bucket_start);
        bucket_start = bucket_end;
    }
    out.price = std::move(grid.price);
    return PanelData{std::move(out)};
}

}  // namespace vorn
