#pragma once
// The heatmap's rows replayed over flat per-price arrays: the window's book restricted to the
// dataset's numbered prices that fall in the grid's key range, one slot per price in ascending
// key order. A level is a table look-up from its price number, not a search in an ordered side,
// and a cell is the sum of a run of slots. Sums run in ascending key order from minus zero, as
// over the ordered sides, so every cell is the same bit for bit.
#include <cstddef>
#include <cstdint>

#include "core/dataset/window.hpp"
#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/book_heatmap/price_grid.hpp"
#include "core/panels/book_heatmap/whole_book.hpp"

namespace vorn {

// Row-major lists a replay writes (grid.price.size() cells a row); detail lists null without detail.
struct HeatmapRowLists {
    double* intensity;
    double* bid_intensity;
    double* ask_intensity;
    double* last_price;
    double* mid;
    std::int64_t* time;
};

// Writes every row of the window (window.price_ids set, covering window.levels) from an empty
// book. `whole` (detail only) is replayed beside it for each row's mid.
void replay_numbered_rows(const PriceGrid& grid, const Window& window, const BucketRange& range,
                          const HeatmapRowLists& out, WholeBook* whole);

}  // namespace vorn
