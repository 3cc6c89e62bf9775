#include "core/panels/book_heatmap/numbered_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/dataset/price_writes.hpp"

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


// The first row at or after `from` whose levels end after `position`. A price's levels come
// in bursts, so the row is searched for in steps that double from the last one found.
std::size_t row_holding(const std::vector<std::uint64_t>& row_end, std::size_t from, std::uint64_t position) {
    if (row_end[from] > position) return from;
    std::size_t lo = from + 1;
    std::size_t step = 1;
    while (lo + step < row_end.size() && row_end[lo + step - 1] <= position) {
        lo += step;
        step *= 2;
    }
    const std::size_t hi = std::min(row_end.size(), lo + step);
    return static_cast<std::size_t>(std::upper_bound(row_end.begin() + static_cast<std::ptrdiff_t>(lo),
                                                     row_end.begin() + static_cast<std::ptrdiff_t>(hi), position) -
                                    row_end.begin());
}

// The levels of the window's covered events (see price_writes.hpp) at the grid's prices,
// grouped by the row whose bucket holds them: within a row, price by price, each price's levels
// in pool order, so the last level of a price in a row is the one that stays. Rows holding a
// covered snapshot are put in pool order, and the snapshots' positions listed beside.
struct GroupedWrites {
    struct Write {
        std::uint32_t position;
        std::uint32_t code;  // slot * 2 + side
    };
    std::vector<std::uint32_t> row_begin;  // rows + 1 offsets into `writes`
    std::vector<Write> writes;
    std::vector<std::pair<std::size_t, std::uint64_t>> snapshots;  // (row, first level), ascending

    GroupedWrites(const PriceGrid& grid, const Window& window, const BucketRange& range, std::size_t covered,
                  const SlotLayout& layout) {
        const PriceWrites& grouped = *window.price_writes;
        const std::span<const BookEvent> book = window.book.first(covered);
        const std::size_t rows = static_cast<std::size_t>(range.count);
        // The pool position that ends each row's levels: the first level of the first event in a
        // later bucket (or the end of the covered events' levels).
        const BookEvent& last = book.back();
        const std::uint64_t covered_end = last.first_level + last.bid_count + last.ask_count;
        std::vector<std::uint64_t> row_end(rows);
        std::size_t e = 0;
        Int128 bucket_end = range.first_start + range.width;
        for (std::size_t k = 0; k < rows; ++k, bucket_end += range.width) {
            e = static_cast<std::size_t>(std::partition_point(book.begin() + static_cast<std::ptrdiff_t>(e), book.end(),
                                                              [&](const BookEvent& x) { return Int128{x.ts} < bucket_end; }) -
                                         book.begin());
            row_end[k] = e < book.size() ? book[e].first_level : covered_end;
        }
        const std::uint64_t first = book.front().first_level;
        const std::span<const std::uint64_t> keys = grouped.keys();
        const std::size_t r0 = static_cast<std::size_t>(std::lower_bound(keys.begin(), keys.end(), grid.range_lo) - keys.begin());
        const std::size_t r1 = static_cast<std::size_t>(std::lower_bound(keys.begin(), keys.end(), grid.range_hi) - keys.begin());
        std::vector<std::uint32_t> row_of;
        std::vector<Write> found;
        for (std::size_t side = 0; side < 2; ++side) {
            for (std::size_t r = r0; r < r1; ++r) {
                const std::uint32_t slot = layout.slot_of[grouped.number(r)];
                const std::span<const std::uint32_t> list = grouped.writes(static_cast<PriceWrites::Side>(side), r);
                auto it = std::lower_bound(list.begin(), list.end(), first);
                const auto stop = std::lower_bound(it, list.end(), covered_end);
                std::size_t k = 0;
                for (; it != stop; ++it) {
                    k = row_holding(row_end, k, *it);
                    row_of.push_back(static_cast<std::uint32_t>(k));
                    found.push_back(Write{*it, slot * 2 + static_cast<std::uint32_t>(side)});
                }
            }
        }
        // Counted by row, then placed: stable, so each price keeps its levels in pool order.
        row_begin.assign(rows + 1, 0);
        for (const std::uint32_t k : row_of) ++row_begin[k + 1];
        for (std::size_t k = 0; k < rows; ++k) row_begin[k + 1] += row_begin[k];
        writes.resize(found.size());
        std::vector<std::uint32_t> place(row_begin.begin(), row_begin.end() - 1);
        for (std::size_t i = 0; i < found.size(); ++i) writes[place[row_of[i]]++] = found[i];

        const std::span<const std::uint64_t> all = grouped.snapshots();
        auto snap = std::lower_bound(all.begin(), all.end(), window.first_event);
        for (; snap != all.end() && *snap < window.first_event + covered; ++snap) {
            const BookEvent& x = window.book[*snap - window.first_event];
            // By its time: a snapshot without levels shares its position with the event after it.
            const auto k = static_cast<std::size_t>((Int128{x.ts} - range.first_start) / range.width);
            snapshots.emplace_back(k, x.first_level);
        }
        for (std::size_t i = 0; i < snapshots.size(); ++i) {
            const std::size_t k = snapshots[i].first;
            if (i > 0 && snapshots[i - 1].first == k) continue;
            std::sort(writes.begin() + row_begin[k], writes.begin() + row_begin[k + 1],
                      [](const Write& a, const Write& b) { return a.position < b.position; });
        }
    }
};

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

    // The events whose levels are grouped by price are taken row by row from the grouping; the
    // rest (appended since it was built) level by level.
    std::size_t covered = 0;
    if (window.price_writes != nullptr && window.price_writes->events() > window.first_event) {
        covered = std::min(book.size(), window.price_writes->events() - window.first_event);
    }
    std::optional<GroupedWrites> grouped;
    if (covered > 0) grouped.emplace(grid, window, range, covered, layout);
    auto apply_write = [&](const GroupedWrites::Write& w) {
        SlotSide& side = (w.code & 1) != 0 ? asks : bids;
        const std::uint32_t slot = w.code >> 1;
        if (!side.apply(slot, window.levels[w.position].qty)) return;
        any_dirty = true;
        if (all_dirty) return;
        for (std::uint32_t c = layout.first_cell[slot]; c < layout.end_cell[slot]; ++c) dirty[c] = 1;
    };
    auto snapshot = [&] {
        bids.clear();
        asks.clear();
        all_dirty = any_dirty = true;
    };

    // Without the whole book, the covered events are not read at all.
    std::size_t next = whole != nullptr ? 0 : covered;
    std::size_t next_snapshot = 0;
    std::size_t next_trade = 0;
    Int128 bucket_start = range.first_start;
    for (std::size_t k = 0; k < rows; ++k) {
        const Int128 bucket_end = bucket_start + range.width;  // 128-bit: may lie past INT64_MAX
        if (grouped) {
            const GroupedWrites::Write* w = grouped->writes.data() + grouped->row_begin[k];
            const GroupedWrites::Write* w_end = grouped->writes.data() + grouped->row_begin[k + 1];
            for (; next_snapshot < grouped->snapshots.size() && grouped->snapshots[next_snapshot].first == k;
                 ++next_snapshot) {
                const std::uint64_t at = grouped->snapshots[next_snapshot].second;
                for (; w != w_end && w->position < at; ++w) apply_write(*w);
                snapshot();
            }
            for (; w != w_end; ++w) apply_write(*w);
        }
        for (; next < book.size() && Int128{book[next].ts} < bucket_end; ++next) {
            const BookEvent& e = book[next];
            if (whole != nullptr) whole->apply(e, window);
            if (next < covered) continue;
            if (e.kind == BookEventKind::Snapshot) snapshot();
            apply_side(bids, window.bids(e), e.bid_order, e.first_level);
            apply_side(asks, window.asks(e), e.ask_order, e.first_level + e.bid_count);
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
