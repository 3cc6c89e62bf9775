#pragma once
// What an object keeps from one frame to the next, so that playback (the same spec and dataset,
// frames at later and later cursors) computes only what the new cursor adds. A frame that
// follows the previous one (same generation of the object's spec and dataset, same detail, a
// window end not earlier) keeps per-panel carries; any other frame keeps only what it was, so
// that the frame after it can tell whether it follows. Nothing here changes a result: a frame
// computed with a carry is the frame computed from scratch, bit for bit.
#include <cstdint>
#include <vector>

#include "core/panels/compute_panel.hpp"

namespace vorn {

struct FrameCarry {
    bool valid = false;           // a frame was computed since the last change of the object
    std::uint64_t generation = 0;  // the object's generation when it was
    bool detail = false;
    std::int64_t end = 0;          // its window end
    std::vector<PanelCarry> panels;  // one per panel of the spec once frames follow each other
};

}  // namespace vorn
