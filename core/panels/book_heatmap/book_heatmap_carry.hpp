#pragma once
// What a book heatmap keeps from one frame of a playback to the next (the same spec, dataset and
// window start, a later end): its rows so far over a grid wider than the frame's, and the replay
// at the end of the last of them. A later frame whose grid is a run of the wide grid's cells
// copies those rows and replays only the events after them; the book and every row before the
// cut cannot have changed, since they depend only on events before it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/book_heatmap/price_grid.hpp"
#include "core/panels/book_heatmap/ranged_book_side.hpp"
#include "core/panels/book_heatmap/whole_book.hpp"
#include "core/runtime/pod_vector.hpp"

namespace vorn {

// A frame's cells cut out of the wide rows at one offset, in blocks that the frames which took
// them share. Rows a frame may have seen are never written again while a frame holds the block,
// so the next frame at the same offset appends its new rows. A frame whose last row was still
// open (its bucket ends after the cursor) has seen a row the next frame changes: that frame
// writes the other copy of the cut, which needs only the rows since that copy was last written.
struct RowCopy {
    std::size_t written = 0;  // rows written, which frames may have seen
    std::size_t valid = 0;    // leading rows that were complete when written: no frame changes them
    std::shared_ptr<PodVector<double>> cells[3];  // intensity, and with detail the bid and ask sums
};
struct RowCut {
    std::size_t offset = 0;
    std::uint64_t used = 0;  // when a frame last took it; the least recent cut is replaced first
    RowCopy copies[2];
};

// Rows over the wide grid. Shared by the carries of successive frames: a later carry only
// writes rows past those an earlier one holds, so a carry dropped by a failed frame stays valid
// (rows depend only on the events before their end, whichever frame computed them).
struct WideRows {
    // The cuts kept: a mid moving back and forth across a bin edge finds its cut again.
    static constexpr std::size_t kMaxCuts = 3;

    PodVector<double> intensity;  // rows x wide cells
    PodVector<double> bid_intensity;
    PodVector<double> ask_intensity;
    PodVector<double> last_price;
    PodVector<double> mid;
    std::vector<RowCut> cuts;
    std::uint64_t clock = 0;
};

// The replay after `rows` complete rows: the books, and the next event and trade of the window.
struct HeatmapReplay {
    RangedBookSide bids{0, 0};
    RangedBookSide asks{0, 0};
    std::optional<WholeBook> whole;
    std::size_t rows = 0;
    std::size_t next_event = 0;
    std::size_t next_trade = 0;
};

struct BookHeatmapCarry {
    bool detail = false;
    std::int64_t end = 0;          // the window end of the frame that left it
    Int128 first_start = 0;        // the first row's start
    PriceGrid grid;                // the wide grid
    std::shared_ptr<WideRows> rows;
    HeatmapReplay replay;
};

}  // namespace vorn
