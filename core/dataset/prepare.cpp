#include "core/dataset/prepare.hpp"

#include <algorithm>
#include <limits>
#include <span>

namespace vorn {
namespace {

// Stable merge sort by ts alone, so records sharing a timestamp keep their input order (a book
// snapshot and the diffs that follow it at the same ts). Recordings usually arrive in time order,
// and a list that already is needs no scratch buffer and no moves.
template <class Record>
void sort_by_ts(PodVector<Record>& records) {
    if (records.size() < 2) return;
    auto by_ts = [](const Record& a, const Record& b) { return a.ts < b.ts; };
    if (std::is_sorted(records.begin(), records.end(), by_ts)) return;
    std::stable_sort(records.begin(), records.end(), by_ts);
}

template <class Record>
void widen(const PodVector<Record>& records, std::int64_t& lo, std::int64_t& hi) {
    for (const Record& r : records) {
        lo = std::min(lo, r.ts);
        hi = std::max(hi, r.ts);
    }
}

template <class Record>
ListBounds ends_of(const PodVector<Record>& records) {
    if (records.empty()) return ListBounds{0, std::nullopt, std::nullopt};
    return ListBounds{records.size(), records.front().ts, records.back().ts};
}

// Strictly ascending or descending by `<`, which a NaN never is (a lone level counts as ascending
// unless it is one).
LevelOrder level_order(std::span<const PriceLevel> levels) {
    if (levels.size() == 1 && levels[0].price != levels[0].price) return LevelOrder::Unordered;
    bool ascending = true;
    bool descending = true;
    for (std::size_t i = 1; i < levels.size() && (ascending || descending); ++i) {
        ascending = ascending && levels[i - 1].price < levels[i].price;
        descending = descending && levels[i - 1].price > levels[i].price;
    }
    return ascending ? LevelOrder::Ascending : descending ? LevelOrder::Descending : LevelOrder::Unordered;
}

}  // namespace

std::array<ListBounds, 6> list_bounds(const Dataset& d) {
    std::array<ListBounds, 6> bounds{};
    std::size_t i = 0;
    for_each_list(d, [&](const auto& list) { bounds[i++] = ends_of(list); });
    return bounds;
}

void prepare_dataset(Dataset& d) {
    for_each_list(d, [](auto& list) { sort_by_ts(list); });
    note_level_orders(d, 0);
}

void note_level_orders(Dataset& d, std::size_t first_event) {
    for (std::size_t i = first_event; i < d.book.size(); ++i) {
        BookEvent& e = d.book[i];
        e.bid_order = level_order(d.bids(e));
        e.ask_order = level_order(d.asks(e));
    }
}

std::optional<TimeBounds> compute_bounds(const Dataset& d) {
    std::uint64_t count = d.record_count();
    if (count == 0) return std::nullopt;
    std::int64_t lo = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    for_each_list(d, [&](const auto& list) { widen(list, lo, hi); });
    return TimeBounds{lo, hi, count};
}

}  // namespace vorn
