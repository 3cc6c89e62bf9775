#pragma once
// A frame: every panel of the spec computed over the window that a cursor selects.
#include <cstdint>
#include <string>
#include <vector>

#include "core/dataset/dataset.hpp"
#include "core/frame/frame_carry.hpp"
#include "core/panels/compute_panel.hpp"
#include "core/panels/panel_data.hpp"
#include "core/result.hpp"
#include "core/spec/spec.hpp"

namespace vorn {

struct Frame {
    std::string symbol;
    std::int64_t cursor_ts;
    std::vector<PanelData> panels;
};

// Validates the spec, cuts the window [from_ts, min(cursor, to_ts)] out of the prepared dataset and
// computes the spec's panels in parallel, in spec order.
Result<Frame> compute_frame(const VornSpec& spec, const Dataset& dataset, std::int64_t cursor,
                            PanelOptions options = {});

// What an object keeps per dataset to speed its frames up (null members: not kept).
struct DatasetIndex {
    const PriceIds* price_ids = nullptr;
    const PriceWrites* price_writes = nullptr;
};

// The same, continuing `carry` (what the previous frame of the object at `generation` left,
// see frame_carry.hpp) and leaving this frame's there, with what the object keeps for its
// dataset. On failure the carry is left as it was.
Result<Frame> compute_frame(const VornSpec& spec, const Dataset& dataset, std::int64_t cursor, PanelOptions options,
                            FrameCarry& carry, std::uint64_t generation, DatasetIndex index = {});

// The window a frame at `cursor` takes into account, and its end (min(cursor, to_ts)).
struct FrameWindow {
    Window window;
    std::int64_t end;
};
FrameWindow frame_window(const VornSpec& spec, const Dataset& dataset, std::int64_t cursor);

}  // namespace vorn
