#pragma once
// Records added at the end of a prepared dataset, in time order, without preparing it again: the
// work grows with the records added, not with those already held.
#include <cstdint>

#include "core/dataset/dataset.hpp"
#include "core/result.hpp"

namespace vorn {

// Appends every list of `added` (records in row order, as dataset_from_columns gives them) to
// the matching list of the prepared `dataset`, which stays prepared. Each added record must be at
// or after the last ts of its list and of the record before it in `added`; otherwise the first
// that is not is named ("trades.ts row 3: ...") and no list changes. Memory runs out (bad_alloc)
// only before any list changes. Returns the number of records added.
Result<std::uint64_t> append_dataset(Dataset& dataset, const Dataset& added);

}  // namespace vorn
