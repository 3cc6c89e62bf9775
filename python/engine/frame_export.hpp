#pragma once
// A computed frame handed to Python as blocks (see array_block.hpp) instead of JSON text.
#include "core/features/bars.hpp"
#include "core/features/book_features.hpp"
#include "core/frame/frame.hpp"
#include "core/panels/clusters/clusters.hpp"
#include "python/common/python_api.hpp"

namespace vorn::python {

// (symbol, cursor_ts, panels): one dict per panel in spec order, "kind" and then the panel's
// members as in the JSON frame, each number list a Block (the heatmap's intensity a 2-D block
// of rows by price; the liquidation map's events one byte block of packed event records). The
// blocks share ownership of the frame. With `detail`, each book heatmap also holds
// "bid_intensity", "ask_intensity" (laid out as "intensity"), "last_price" and "mid" (per row).
// With `grid_mid`, each book heatmap also holds "grid_mid", the mid its grid is centred on (a float,
// NaN when the heatmap is empty). New reference, or null with an exception set.
PyObject* export_frame(Frame frame, bool detail, bool grid_mid = false);

// (cursor_ts, {"time", "price", "buy_vol", "sell_vol"}): the two volume blocks 2-D, rows by price.
PyObject* export_clusters(std::int64_t cursor_ts, Clusters clusters);

// Each column of the bars as a 1-D block under its own name ("trades" int64, the rest float64).
// New reference, or null with an exception set.
PyObject* export_bars(Bars bars);

// {"best_bid", "best_ask", "mid", "spread"} 1-D and {"bid_depth", "ask_depth", "imbalance"} 2-D
// (bucket ends by depths). New reference, or null with an exception set.
PyObject* export_book_features(BookFeatures features, std::size_t depths);

}  // namespace vorn::python
