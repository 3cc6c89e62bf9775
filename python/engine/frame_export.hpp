#pragma once
// A computed frame handed to Python as blocks (see array_block.hpp) instead of JSON text.
#include "core/frame/frame.hpp"
#include "python/common/python_api.hpp"

namespace vorn::python {

// (symbol, cursor_ts, panels): one dict per panel in spec order, "kind" and then the panel's
// members as in the JSON frame, each number list a Block (the heatmap's intensity a 2-D block
// of rows by price; the liquidation map's events one byte block of packed event records). The
// blocks share ownership of the frame. New reference, or null with an exception set.
PyObject* export_frame(Frame frame);

}  // namespace vorn::python
