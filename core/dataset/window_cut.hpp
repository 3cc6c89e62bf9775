#pragma once
// The window of one frame: the records of a prepared dataset whose ts lies in [from_ts, end].
#include <cstdint>
#include <optional>

#include "core/dataset/dataset.hpp"
#include "core/dataset/window.hpp"

namespace vorn {

// Every list of a prepared dataset is sorted by ts, so each list's window is one contiguous range,
// found by binary search and viewed in place. Both bounds are inclusive; without `from_ts` the
// window starts at the first record. A `from_ts` above `end` gives empty lists. The book events
// keep indexing the dataset's whole level pool.
Window cut_window(const Dataset& dataset, std::optional<std::int64_t> from_ts, std::int64_t end);

}  // namespace vorn
