#pragma once
// Time ordering of a decoded dataset, and its time bounds.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/dataset/dataset.hpp"

namespace vorn {

struct TimeBounds {
    std::int64_t from_ts;
    std::int64_t to_ts;
    std::uint64_t count;
};

// Stable sort of each of the six lists by ts; records with equal ts keep their order. Notes the
// price order of every book event's sides (LevelOrder).
void prepare_dataset(Dataset& dataset);

// Notes the price order of both sides of the book events from `first_event` on.
void note_level_orders(Dataset& dataset, std::size_t first_event);

// Smallest and largest ts over all records and the record count; none without records.
std::optional<TimeBounds> compute_bounds(const Dataset& dataset);

// Record count and first and last ts of one list of a prepared dataset (ts unset when empty).
struct ListBounds {
    std::uint64_t count;
    std::optional<std::int64_t> first_ts;
    std::optional<std::int64_t> last_ts;
};

// The bounds of each list, in declared order (candles, trades, book, funding, oi, liquidations).
std::array<ListBounds, 6> list_bounds(const Dataset& dataset);

}  // namespace vorn
