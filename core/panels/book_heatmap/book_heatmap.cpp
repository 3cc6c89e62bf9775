// Book heatmap: resting book quantity per price bin (around the closing mid) and time bucket.
#include <cassert>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>
#include <span>

#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/panel_limits.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/book_heatmap/closing_book.hpp"
#include "core/panels/book_heatmap/price_grid.hpp"
#include "core/panels/book_heatmap/ranged_book_side.hpp"
#include "core/panels/compute_panel.hpp"
#include "core/panels/panel_grid.hpp"

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
            if (grid_.lo[i] < hi[i]) {
                dirty_[i] = 1;
                any_ = true;
            }
        }
    }
    void all() { all_ = true; }
    // Whether any cell is dirty: a row with none is the row before it.
    bool any() const { return all_ || any_; }
    bool is_dirty(std::size_t cell) const { return all_ || dirty_[cell] != 0; }
    void reset() {
        if (!any()) return;
        all_ = false;
        any_ = false;
        std::fill(dirty_.begin(), dirty_.end(), 0);
    }

private:
    const PriceGrid& grid_;
    std::vector<std::uint8_t> dirty_;
    bool all_;
    bool any_ = false;
};

// The levels of a side in price order whose keys the ranged side covers: one run, found by
// binary search. Applying only those leaves the side as applying all of them would.
std::span<const PriceLevel> covered_run(const RangedBookSide& side, std::span<const PriceLevel> levels,
                                        LevelOrder order) {
    auto key = [](const PriceLevel& level) { return total_order_key(level.price); };
    const std::uint64_t lo = side.lo();
    const std::uint64_t hi = side.hi();
    auto first = levels.begin();
    auto last = levels.end();
    if (order == LevelOrder::Ascending) {
        first = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) < lo; });
        last = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) < hi; });
    } else {
        first = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) >= hi; });
        last = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) >= lo; });
    }
    return {first, last};
}

void apply_levels(RangedBookSide& side, std::span<const PriceLevel> levels, LevelOrder order, DirtyCells& dirty) {
    // A short side (a diff's few levels) is cheaper to look through than to search.
    if (order != LevelOrder::Unordered && levels.size() >= 32) levels = covered_run(side, levels, order);
    for (const PriceLevel& level : levels) {
        const std::uint64_t key = total_order_key(level.price);
        if (side.apply(key, level.qty)) dirty.add(key);
    }
}

// A snapshot's side on an emptied side: in price order, the covered run is laid out at once (and
// every cell is recomputed); otherwise level by level.
void fill_side(RangedBookSide& side, std::span<const PriceLevel> levels, LevelOrder order, DirtyCells& dirty) {
    if (order == LevelOrder::Unordered) {
        apply_levels(side, levels, order, dirty);
        return;
    }
    const std::span<const PriceLevel> run = covered_run(side, levels, order);
    if (run.empty()) return;
    side.fill_ordered(run, order == LevelOrder::Descending);
    dirty.all();
}

// The row's dirty cells, summed again from the current book in ascending key order.
// With detail, the bid and the ask sums are also written on their own into bid_row and ask_row.
void compute_cells(const PriceGrid& grid, const RangedBookSide& bids, const RangedBookSide& asks,
                   const DirtyCells& dirty, double* row, double* bid_row, double* ask_row) {
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
        if (bid_row != nullptr) {
            bid_row[i] = round8(bid_sum);
            ask_row[i] = round8(ask_sum);
        }
        continues = true;
        last_hi = hi;
    }
}

// The whole book replayed beside the grid's, for the mid at each row's end (detail only).
struct WholeBook {
    RangedBookSide bids{0, UINT64_MAX};
    RangedBookSide asks{0, UINT64_MAX};

    void apply(const BookEvent& e, const Window& window) {
        if (e.kind == BookEventKind::Snapshot) {
            bids.clear();
            asks.clear();
        }
        for (const PriceLevel& level : window.bids(e)) bids.apply(total_order_key(level.price), level.qty);
        for (const PriceLevel& level : window.asks(e)) asks.apply(total_order_key(level.price), level.qty);
    }
    double mid() const {
        if (bids.empty() || asks.empty()) return std::nan("");
        return book_mid(from_total_order_key(bids.highest_key()), from_total_order_key(asks.lowest_key()));
    }
};

}  // namespace

Result<PanelData> compute_book_heatmap(const VornPanel::BookHeatmap& params, const Window& window, bool detail) {
    const double w = params.price_bin;
    const std::int64_t b = params.bucket_ms;
    const std::uint32_t depth = params.depth_levels;
    assert(w > 0.0 && std::isfinite(w) && b >= 1 && depth >= 1);  // a validated spec's

    PanelData::BookHeatmap out;
    const std::span<const BookEvent> book = window.book;
    if (book.empty()) return PanelData{std::move(out)};

    const std::optional<BestPrices> best = closing_best_prices(window);
    if (!best) return PanelData{std::move(out)};

    // Sized before anything grid-sized is allocated: the product of up to 2^64 rows and 2^32
    // levels fits 128 bits.
    const BucketRange range = *book_heatmap_buckets(window, b);
    if (range.count * depth > Int128{kMaxPanelCells}) return VornError::data("book_heatmap grid too large");
    if (!range.starts_representable()) return VornError::data("book_heatmap time buckets out of range");

    PriceGrid grid = build_price_grid(book_mid(best->bid, best->ask), w, depth);
    const std::size_t rows = static_cast<std::size_t>(range.count);
    const std::size_t cells = depth;
    out.time.resize(rows);
    out.intensity.resize_for_overwrite(rows * cells);  // every row is written below
    std::optional<WholeBook> whole;
    std::size_t next_trade = 0;
    if (detail) {
        out.bid_intensity.resize_for_overwrite(rows * cells);
        out.ask_intensity.resize_for_overwrite(rows * cells);
        out.last_price.resize(rows);
        out.mid.resize(rows);
        whole.emplace();
    }

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
                fill_side(bids, window.bids(e), e.bid_order, dirty);
                fill_side(asks, window.asks(e), e.ask_order, dirty);
            } else {
                apply_levels(bids, window.bids(e), e.bid_order, dirty);
                apply_levels(asks, window.asks(e), e.ask_order, dirty);
            }
            if (whole) whole->apply(e, window);
        }
        double* row = out.intensity.data() + k * cells;
        double* bid_row = detail ? out.bid_intensity.data() + k * cells : nullptr;
        double* ask_row = detail ? out.ask_intensity.data() + k * cells : nullptr;
        for (double* r : {row, bid_row, ask_row}) {
            if (r == nullptr) continue;
            if (k > 0) std::memcpy(r, r - cells, cells * sizeof(double));
            else std::fill(r, r + cells, -0.0);  // empty cells hold minus zero, never computed
        }
        if (dirty.any()) compute_cells(grid, bids, asks, dirty, row, bid_row, ask_row);
        if (detail) {
            while (next_trade < window.trades.size() && Int128{window.trades[next_trade].ts} < bucket_end) ++next_trade;
            out.last_price[k] = next_trade > 0 ? window.trades[next_trade - 1].price : std::nan("");
            out.mid[k] = whole->mid();
        }
        dirty.reset();
        out.time[k] = static_cast<std::int64_t>(bucket_start);
        bucket_start = bucket_end;
    }
    out.price = std::move(grid.price);
    return PanelData{std::move(out)};
}

}  // namespace vorn
