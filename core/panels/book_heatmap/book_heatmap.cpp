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
#include "core/panels/book_heatmap/numbered_rows.hpp"
#include "core/panels/book_heatmap/price_grid.hpp"
#include "core/panels/book_heatmap/ranged_book_side.hpp"
#include "core/panels/book_heatmap/whole_book.hpp"
#include "core/panels/book_heatmap/book_heatmap_carry.hpp"
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

// Cells on each side of the frame's grid that a carried grid adds, so a mid that moves a few
// bins leaves the frame's grid inside it: as many as the grid has (three times as wide).
std::uint32_t carry_margin(std::uint32_t depth) { return depth; }

// The offset of `grid` within `wide` when its cells are a run of the wide grid's (the same
// prices and bounds, bit for bit), or nothing.
std::optional<std::size_t> run_offset(const PriceGrid& wide, const PriceGrid& grid) {
    const std::size_t cells = grid.price.size();
    if (wide.price.size() < cells) return std::nullopt;
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; };
    for (std::size_t off = 0; off + cells <= wide.price.size(); ++off) {
        if (!same(wide.price[off], grid.price[0])) continue;
        bool all = true;
        for (std::size_t i = 0; i < cells && all; ++i) {
            all = same(wide.price[off + i], grid.price[i]) && wide.lo[off + i] == grid.lo[i] &&
                  wide.hi[off + i] == grid.hi[i];
        }
        if (all) return off;
    }
    return std::nullopt;
}

// The rows [replay.rows, rows) of the window over `grid`, written into the row-major lists of
// `out` (grid.price.size() cells a row; the rows before replay.rows already there), continuing
// `replay`. When `kept` is given, it receives the replay after the window's complete rows (all
// but a last one whose bucket ends after `end`).
struct RowLists {
    double* intensity;
    double* bid_intensity;  // null without detail
    double* ask_intensity;
    double* last_price;
    double* mid;
    std::int64_t* time;  // null when not wanted
};

void replay_rows(const PriceGrid& grid, const Window& window, const BucketRange& range, std::int64_t end,
                 HeatmapReplay& replay, const RowLists& out, std::optional<HeatmapReplay>* kept) {
    const std::span<const BookEvent> book = window.book;
    const std::size_t rows = static_cast<std::size_t>(range.count);
    const std::size_t cells = grid.price.size();
    const std::int64_t b = range.width;
    const bool detail = out.bid_intensity != nullptr;
    RangedBookSide& bids = replay.bids;
    RangedBookSide& asks = replay.asks;
    DirtyCells dirty(grid);  // the first row computed here computes every cell
    std::size_t& next = replay.next_event;
    std::size_t& next_trade = replay.next_trade;
    Int128 bucket_start = range.first_start + Int128{b} * static_cast<Int128>(replay.rows);
    for (std::size_t k = replay.rows; k < rows; ++k) {
        // 128-bit: the last bucket's end may lie past INT64_MAX.
        const Int128 bucket_end = bucket_start + b;
        if (kept != nullptr && k + 1 == rows && bucket_end - 1 > Int128{end}) {
            replay.rows = k;
            kept->emplace(replay);
        }
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
            if (replay.whole) replay.whole->apply(e, window);
        }
        double* row = out.intensity + k * cells;
        double* bid_row = detail ? out.bid_intensity + k * cells : nullptr;
        double* ask_row = detail ? out.ask_intensity + k * cells : nullptr;
        for (double* r : {row, bid_row, ask_row}) {
            if (r == nullptr) continue;
            if (k > 0) std::memcpy(r, r - cells, cells * sizeof(double));
            else std::fill(r, r + cells, -0.0);  // empty cells hold minus zero, never computed
        }
        if (dirty.any()) compute_cells(grid, bids, asks, dirty, row, bid_row, ask_row);
        if (detail) {
            while (next_trade < window.trades.size() && Int128{window.trades[next_trade].ts} < bucket_end) ++next_trade;
            out.last_price[k] = next_trade > 0 ? window.trades[next_trade - 1].price : std::nan("");
            out.mid[k] = replay.whole->mid();
        }
        dirty.reset();
        if (out.time != nullptr) out.time[k] = static_cast<std::int64_t>(bucket_start);
        bucket_start = bucket_end;
    }
    replay.rows = rows;
    if (kept != nullptr && !*kept) kept->emplace(replay);
}

// The frame's rows copied out of the wide rows, cells [offset, offset + cells) of each.
void copy_columns(const double* wide, std::size_t wide_cells, std::size_t offset, std::size_t rows,
                  std::size_t cells, double* out) {
    for (std::size_t k = 0; k < rows; ++k) std::memcpy(out + k * cells, wide + k * wide_cells + offset, cells * sizeof(double));
}

// The cut at `offset`: the one kept, or a new one in place of the least recently used.
RowCut& cut_at(WideRows& held, std::size_t offset) {
    for (RowCut& cut : held.cuts) {
        if (cut.offset == offset) return cut;
    }
    RowCut fresh;
    fresh.offset = offset;
    if (held.cuts.size() < WideRows::kMaxCuts) return held.cuts.emplace_back(std::move(fresh));
    RowCut* oldest = &held.cuts[0];
    for (RowCut& cut : held.cuts) oldest = cut.used < oldest->used ? &cut : oldest;
    *oldest = std::move(fresh);
    return *oldest;
}

// The lists of a copy of a cut brought up to `rows` rows of `cells` from the wide rows (`lists`
// of them: 1, or 3 with detail). The copy whose update writes the fewest rows without changing
// a row a frame holding it may have seen; when each would, a new block holding the valid rows.
struct CutUpdate {
    const PodVector<double>* wide[3];
    std::size_t wide_cells;
    std::size_t lists;
    std::size_t rows;
    std::size_t cells;
};

bool held_by_a_frame(const RowCopy& copy, std::size_t lists) {
    for (std::size_t l = 0; l < lists; ++l) {
        if (copy.cells[l] && copy.cells[l].use_count() > 1) return true;  // the cut's reference and a frame's
    }
    return false;
}

RowCopy& update_cut(RowCut& cut, const CutUpdate& u, std::shared_ptr<PodVector<double>> (&blocks)[3]) {
    const std::size_t needed = u.rows * u.cells;
    RowCopy* best = nullptr;
    std::size_t best_keep = 0;
    for (RowCopy& copy : cut.copies) {
        if (!copy.cells[0]) {
            if (best == nullptr) best = &copy;  // an empty copy: every row written
            continue;
        }
        const std::size_t keep = std::min(copy.valid, u.rows);
        const bool held = held_by_a_frame(copy, u.lists);
        if (held && (keep < copy.written || copy.cells[0]->capacity() < needed)) continue;
        if (best == nullptr || !best->cells[0] || keep > best_keep) {
            best = &copy;
            best_keep = keep;
        }
    }
    bool fresh = false;
    if (best == nullptr) {  // both held: a new block with the valid rows of the better copy
        best = cut.copies[0].valid >= cut.copies[1].valid ? &cut.copies[0] : &cut.copies[1];
        best_keep = std::min(best->valid, u.rows);
        fresh = true;
    }
    for (std::size_t l = 0; l < u.lists; ++l) {
        std::shared_ptr<PodVector<double>> block = best->cells[l];
        if (!block || fresh) {
            auto made = std::make_shared<PodVector<double>>();
            made->reserve(needed + needed / 4);  // room to grow for the next frames
            made->resize_for_overwrite(needed);
            if (block) std::memcpy(made->data(), block->data(), best_keep * u.cells * sizeof(double));
            block = std::move(made);
        } else if (block->capacity() < needed) {
            block->reserve(needed + needed / 4);  // held by no frame: it may move
        }
        block->resize_for_overwrite(needed);
        copy_columns(u.wide[l]->data() + best_keep * u.wide_cells, u.wide_cells, cut.offset, u.rows - best_keep,
                     u.cells, block->data() + best_keep * u.cells);
        blocks[l] = std::move(block);
    }
    return *best;
}

}  // namespace

Result<PanelData> compute_book_heatmap(const VornPanel::BookHeatmap& params, const Window& window, bool detail,
                                       std::int64_t end, double grid_mid, const BookHeatmapCarry* previous,
                                       std::optional<BookHeatmapCarry>* next) {
    const double w = params.price_bin;
    const std::int64_t b = params.bucket_ms;
    const std::uint32_t depth = params.depth_levels;
    assert(w > 0.0 && std::isfinite(w) && b >= 1 && depth >= 1);  // a validated spec's

    PanelData::BookHeatmap out;
    const std::span<const BookEvent> book = window.book;
    if (book.empty()) return PanelData{std::move(out)};

    // A given mid fixes the grid whatever this book's closing state.
    const bool given_mid = !std::isnan(grid_mid);
    const std::optional<BestPrices> best = given_mid ? std::nullopt : closing_best_prices(window);
    if (!given_mid && !best) return PanelData{std::move(out)};

    // Sized before anything grid-sized is allocated: the product of up to 2^64 rows and 2^32
    // levels fits 128 bits.
    const BucketRange range = *book_heatmap_buckets(window, b);
    if (range.count * depth > Int128{kMaxPanelCells}) return VornError::data("book_heatmap grid too large");
    if (!range.starts_representable()) return VornError::data("book_heatmap time buckets out of range");

    const double mid = given_mid ? grid_mid : book_mid(best->bid, best->ask);
    out.grid_mid = mid;
    PriceGrid grid = build_price_grid(mid, w, depth);
    const std::size_t rows = static_cast<std::size_t>(range.count);
    const std::size_t cells = depth;
    out.time.resize(rows);
    if (detail) {
        out.last_price.resize(rows);
        out.mid.resize(rows);
    }

    // A playback keeps its rows over a wider grid, unless that would hold more than a panel may.
    const std::uint32_t margin = carry_margin(depth);
    const Int128 wide_cells = Int128{depth} + 2 * Int128{margin};
    if (next == nullptr || range.count * wide_cells > Int128{kMaxPanelCells}) {
        // Every row is written: the cells are not cleared first.
        if (window.price_ids != nullptr) {
            double* intensity = out.intensity.resize_for_overwrite(rows * cells);
            double* bid_intensity = detail ? out.bid_intensity.resize_for_overwrite(rows * cells) : nullptr;
            double* ask_intensity = detail ? out.ask_intensity.resize_for_overwrite(rows * cells) : nullptr;
            const HeatmapRowLists lists{intensity, bid_intensity, ask_intensity,
                                        detail ? out.last_price.data() : nullptr, detail ? out.mid.data() : nullptr,
                                        out.time.data()};
            std::optional<WholeBook> whole;
            if (detail) whole.emplace();
            replay_numbered_rows(grid, window, range, lists, whole ? &*whole : nullptr);
            out.price = std::move(grid.price);
            return PanelData{std::move(out)};
        }
        // Replayed again from an empty book, bucket by bucket; only prices the grid can see are kept.
        HeatmapReplay replay{RangedBookSide(grid.range_lo, grid.range_hi), RangedBookSide(grid.range_lo, grid.range_hi),
                             std::nullopt, 0, 0, 0};
        if (detail) replay.whole.emplace();
        // Every row is written: the cells are not cleared first.
        double* intensity = out.intensity.resize_for_overwrite(rows * cells);
        double* bid_intensity = detail ? out.bid_intensity.resize_for_overwrite(rows * cells) : nullptr;
        double* ask_intensity = detail ? out.ask_intensity.resize_for_overwrite(rows * cells) : nullptr;
        const RowLists lists{intensity, bid_intensity, ask_intensity, detail ? out.last_price.data() : nullptr,
                             detail ? out.mid.data() : nullptr, out.time.data()};
        replay_rows(grid, window, range, end, replay, lists, nullptr);
        out.price = std::move(grid.price);
        return PanelData{std::move(out)};
    }

    // Continued from the previous frame's rows when its wide grid holds this frame's grid.
    BookHeatmapCarry& carry = next->emplace();
    std::optional<std::size_t> offset;
    if (previous != nullptr && previous->detail == detail && previous->first_start == range.first_start &&
        end >= previous->end) {
        offset = run_offset(previous->grid, grid);
    }
    HeatmapReplay replay;
    if (offset) {
        carry.grid = previous->grid;
        carry.rows = previous->rows;
        replay = previous->replay;
    } else {
        carry.grid = build_price_grid(mid, w, static_cast<std::uint32_t>(wide_cells));
        offset = run_offset(carry.grid, grid);
        if (!offset) {  // rounding put the frame's cells elsewhere: no carry, as without playback
            next->reset();
            return compute_book_heatmap(params, window, detail, end, grid_mid, nullptr, nullptr);
        }
        carry.rows = std::make_shared<WideRows>();
        replay.bids = RangedBookSide(carry.grid.range_lo, carry.grid.range_hi);
        replay.asks = RangedBookSide(carry.grid.range_lo, carry.grid.range_hi);
        if (detail) replay.whole.emplace();
    }
    carry.detail = detail;
    carry.end = end;
    carry.first_start = range.first_start;
    const std::size_t wide = carry.grid.price.size();
    WideRows& held = *carry.rows;
    // Growing keeps the rows before replay.rows, which earlier carries may still read.
    auto room = [rows](PodVector<double>& list, std::size_t per_row) {
        if (list.size() < rows * per_row) list.resize_for_overwrite(std::max(rows * per_row, list.size() * 5 / 4));
    };
    room(held.intensity, wide);
    if (detail) {
        room(held.bid_intensity, wide);
        room(held.ask_intensity, wide);
        room(held.last_price, 1);
        room(held.mid, 1);
    }
    const RowLists lists{held.intensity.data(), detail ? held.bid_intensity.data() : nullptr,
                         detail ? held.ask_intensity.data() : nullptr, detail ? held.last_price.data() : nullptr,
                         detail ? held.mid.data() : nullptr, nullptr};
    std::optional<HeatmapReplay> kept;
    replay_rows(carry.grid, window, range, end, replay, lists, &kept);
    carry.replay = std::move(*kept);

    // The cells go out shared: rows earlier frames took at this offset are not copied again.
    RowCut& cut = cut_at(held, *offset);
    std::shared_ptr<PodVector<double>> blocks[3];
    const CutUpdate update{{&held.intensity, &held.bid_intensity, &held.ask_intensity}, wide, detail ? 3u : 1u, rows,
                           cells};
    RowCopy& copy = update_cut(cut, update, blocks);
    if (detail) {
        std::memcpy(out.last_price.data(), held.last_price.data(), rows * sizeof(double));
        std::memcpy(out.mid.data(), held.mid.data(), rows * sizeof(double));
    }
    for (std::size_t l = 0; l < 3; ++l) copy.cells[l] = blocks[l];
    copy.written = rows;
    copy.valid = std::min(rows, carry.replay.rows);
    cut.used = ++held.clock;
    out.intensity.share(std::move(blocks[0]), rows * cells);
    if (detail) {
        out.bid_intensity.share(std::move(blocks[1]), rows * cells);
        out.ask_intensity.share(std::move(blocks[2]), rows * cells);
    }
    Int128 start = range.first_start;
    for (std::size_t k = 0; k < rows; ++k, start += b) out.time[k] = static_cast<std::int64_t>(start);
    out.price = std::move(grid.price);
    return PanelData{std::move(out)};
}

}  // namespace vorn
