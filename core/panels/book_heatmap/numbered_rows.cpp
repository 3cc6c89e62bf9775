#include "core/panels/book_heatmap/numbered_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {
namespace {

constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

// The grid's prices as slots, and for each slot and cell what the other covers.
struct SlotLayout {
    std::vector<std::uint32_t> slot_of;     // per price number; kNoSlot outside the grid's range
    std::vector<std::uint64_t> key;         // per slot, ascending
    std::vector<std::uint32_t> first_cell;  // per slot: the run of cells that hold its price
    std::vector<std::uint32_t> end_cell;
    std::vector<std::uint32_t> cell_begin;  // per cell: its run of slots
    std::vector<std::uint32_t> cell_end;

    SlotLayout(const PriceGrid& grid, const PriceIds& ids) : slot_of(ids.distinct(), kNoSlot) {
        const std::span<const std::uint64_t> keys = ids.keys();
        std::vector<std::pair<std::uint64_t, std::uint32_t>> in_range;
        for (std::size_t n = 0; n < keys.size(); ++n) {
            if (keys[n] >= grid.range_lo && keys[n] < grid.range_hi) {
                in_range.emplace_back(keys[n], static_cast<std::uint32_t>(n));
            }
        }
        std::sort(in_range.begin(), in_range.end());
        key.reserve(in_range.size());
        for (const auto& [k, n] : in_range) {
            slot_of[n] = static_cast<std::uint32_t>(key.size());
            key.push_back(k);
        }
        // Cells are sorted by both bounds, so those holding a key are one run: from the first whose
        // upper bound lies above it while the lower bound is not above it.
        first_cell.resize(key.size());
        end_cell.resize(key.size());
        for (std::size_t s = 0; s < key.size(); ++s) {
            auto i = static_cast<std::size_t>(std::upper_bound(grid.hi.begin(), grid.hi.end(), key[s]) - grid.hi.begin());
            first_cell[s] = static_cast<std::uint32_t>(i);
            while (i < grid.hi.size() && grid.lo[i] <= key[s]) ++i;
            end_cell[s] = static_cast<std::uint32_t>(i);
        }
        const std::size_t cells = grid.price.size();
        cell_begin.resize(cells);
        cell_end.resize(cells);
        for (std::size_t i = 0; i < cells; ++i) {
            cell_begin[i] = static_cast<std::uint32_t>(std::lower_bound(key.begin(), key.end(), grid.lo[i]) - key.begin());
            cell_end[i] = static_cast<std::uint32_t>(std::lower_bound(key.begin(), key.end(), grid.hi[i]) - key.begin());
        }
    }
};

// One side over the slots: a quantity and whether the price rests.
struct SlotSide {
    std::vector<double> qty;
    std::vector<std::uint8_t> rests;

    explicit SlotSide(std::size_t slots) : qty(slots, 0.0), rests(slots, 0) {}
    void clear() { std::fill(rests.begin(), rests.end(), 0); }
    // A zero quantity (either zero) removes the price; any other is stored. Whether it changed.
    bool apply(std::uint32_t slot, double q) {
        if (q == 0.0) {
            if (rests[slot] == 0) return false;
            rests[slot] = 0;
            return true;
        }
        rests[slot] = 1;
        qty[slot] = q;
        return true;
    }
    // Minus zero plus the resting quantities of slots [begin, end), in ascending key order.
    double sum(std::uint32_t begin, std::uint32_t end) const {
        double total = -0.0;
        for (std::uint32_t s = begin; s < end; ++s) {
            if (rests[s] != 0) total += qty[s];
        }
        return total;
    }
};

// The levels of one side of an event the grid may see: for a side sorted by price, the run
// within the grid's key range, found by binary search; otherwise all of them.
std::pair<std::size_t, std::size_t> covered(std::span<const PriceLevel> levels, LevelOrder order, const PriceGrid& grid) {
    if (order == LevelOrder::Unordered || levels.size() < 32) return {0, levels.size()};
    auto key = [](const PriceLevel& level) { return total_order_key(level.price); };
    const std::uint64_t lo = grid.range_lo;
    const std::uint64_t hi = grid.range_hi;
    auto first = levels.begin();
    auto last = levels.end();
    if (order == LevelOrder::Ascending) {
        first = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) < lo; });
        last = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) < hi; });
    } else {
        first = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) >= hi; });
        last = std::partition_point(first, last, [&](const PriceLevel& l) { return key(l) >= lo; });
    }
    return {static_cast<std::size_t>(first - levels.begin()), static_cast<std::size_t>(last - levels.begin())};
}

}  // namespace

void replay_numbered_rows(const PriceGrid& grid, const Window& window, const BucketRange& range,
                          const HeatmapRowLists& out, WholeBook* whole) {
    const SlotLayout layout(grid, *window.price_ids);
    const std::uint32_t* numbers = window.price_ids->of_levels().data();
    const std::span<const BookEvent> book = window.book;
    const std::size_t rows = static_cast<std::size_t>(range.count);
    const std::size_t cells = grid.price.size();
    const bool detail = out.bid_intensity != nullptr;
    SlotSide bids(layout.key.size());
    SlotSide asks(layout.key.size());
    std::vector<std::uint8_t> dirty(cells, 1);
    bool all_dirty = true;  // the first row computes every cell
    bool any_dirty = true;

    auto apply_side = [&](SlotSide& side, std::span<const PriceLevel> levels, LevelOrder order, std::uint64_t first) {
        const auto [begin, end] = covered(levels, order, grid);
        for (std::size_t j = begin; j < end; ++j) {
            const std::uint32_t slot = layout.slot_of[numbers[first + j]];
            if (slot == kNoSlot || !side.apply(slot, levels[j].qty)) continue;
            any_dirty = true;
            if (all_dirty) continue;
            for (std::uint32_t c = layout.first_cell[slot]; c < layout.end_cell[slot]; ++c) dirty[c] = 1;
        }
    };

    std::size_t next = 0;
    std::size_t next_trade = 0;
    Int128 bucket_start = range.first_start;
    for (std::size_t k = 0; k < rows; ++k) {
        const Int128 bucket_end = bucket_start + range.width;  // 128-bit: may lie past INT64_MAX
        for (; next < book.size() && Int128{book[next].ts} < bucket_end; ++next) {
            const BookEvent& e = book[next];
            if (e.kind == BookEventKind::Snapshot) {
                bids.clear();
                asks.clear();
                all_dirty = any_dirty = true;
            }
            apply_side(bids, window.bids(e), e.bid_order, e.first_level);
            apply_side(asks, window.asks(e), e.ask_order, e.first_level + e.bid_count);
            if (whole != nullptr) whole->apply(e, window);
        }
        double* row = out.intensity + k * cells;
        double* bid_row = detail ? out.bid_intensity + k * cells : nullptr;
        double* ask_row = detail ? out.ask_intensity + k * cells : nullptr;
        for (double* r : {row, bid_row, ask_row}) {
            if (r == nullptr) continue;
            if (k > 0) std::memcpy(r, r - cells, cells * sizeof(double));
            else std::fill(r, r + cells, -0.0);  // empty cells hold minus zero, never computed
        }
        if (any_dirty) {
            for (std::size_t i = 0; i < cells; ++i) {
                if (grid.cell_empty(i) || (!all_dirty && dirty[i] == 0)) continue;
                const double bid_sum = bids.sum(layout.cell_begin[i], layout.cell_end[i]);
                const double ask_sum = asks.sum(layout.cell_begin[i], layout.cell_end[i]);
                row[i] = round8(bid_sum + ask_sum);
                if (detail) {
                    bid_row[i] = round8(bid_sum);
                    ask_row[i] = round8(ask_sum);
                }
            }
            std::fill(dirty.begin(), dirty.end(), 0);
            all_dirty = any_dirty = false;
        }
        if (detail) {
            while (next_trade < window.trades.size() && Int128{window.trades[next_trade].ts} < bucket_end) ++next_trade;
            out.last_price[k] = next_trade > 0 ? window.trades[next_trade - 1].price : std::nan("");
            out.mid[k] = whole->mid();
        }
        if (out.time != nullptr) out.time[k] = static_cast<std::int64_t>(bucket_start);
        bucket_start = bucket_end;
    }
}

}  // namespace vorn
