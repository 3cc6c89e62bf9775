#include "core/frame/frame.hpp"

#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/dataset/window_cut.hpp"
#include "core/runtime/worker_pool.hpp"
#include "core/panels/panel_limits.hpp"
#include "core/panels/compute_panel.hpp"
#include "core/panels/panel_grid.hpp"
#include "core/spec/read_spec.hpp"

namespace vorn {
namespace {

// "out of memory" fits the string's inline buffer, so reporting it allocates nothing.
VornError out_of_memory() { return VornError::data("out of memory"); }

// Computes the panels of one range of the spec into their own slots. Each slot belongs to one
// task, so the tasks share only the read-only spec and window.
struct PanelTasks {
    const std::vector<VornPanel>& panels;
    const Window& window;
    PanelOptions options;
    std::int64_t window_end;
    const std::vector<PanelCarry>* previous;  // the previous frame's carries, or null
    std::vector<PanelCarry>* next;            // this frame's, or null
    std::vector<std::optional<Result<PanelData>>>& results;

    void operator()(std::size_t begin, std::size_t end) noexcept {
        for (std::size_t i = begin; i < end; ++i) {
            try {
                results[i].emplace(compute_panel(panels[i], window, options, window_end,
                                                 previous ? &(*previous)[i] : nullptr, next ? &(*next)[i] : nullptr));
            } catch (...) {
                // Panels fail by value; what is thrown is memory running out, or an engine fault.
                results[i].emplace(current_exception_error());
            }
        }
    }
};

// The cells a carry keeps for each heatmap: its rows over a grid three times as wide, and its
// cuts (WideRows::kMaxCuts cuts of two copies of the frame's cells, each with a quarter more
// room): 10.5 times the frame's grid.
Int128 carried_cells(const VornPanel& panel, const Window& window) {
    if (!std::holds_alternative<VornPanel::BookHeatmap>(panel.value)) return 0;
    return 21 * panel_grid_cells(panel, window) / 2;
}

Result<Frame> compute_validated_frame(const VornSpec& spec, const Dataset& dataset, std::int64_t cursor,
                                      PanelOptions options, FrameCarry* carry, std::uint64_t generation,
                                      DatasetIndex index) {
    auto [window, end] = frame_window(spec, dataset, cursor);
    if (index.price_ids != nullptr && index.price_ids->covers(window.levels)) {
        window.price_ids = index.price_ids;
        const PriceWrites* writes = index.price_writes;
        if (writes != nullptr && writes->events() <= dataset.book.size()) window.price_writes = writes;
    }

    // The frame's budget, checked before any grid is allocated. A panel over its own limit is
    // left to report itself, as it always has.
    Int128 cells = 0;
    bool each_within = true;
    for (const VornPanel& panel : spec.panels) {
        const Int128 panel_cells = panel_grid_cells(panel, window);
        each_within = each_within && panel_cells <= Int128{kMaxPanelCells};
        cells += panel_cells;
    }
    if (each_within && cells > Int128{kMaxFrameCells}) {
        return VornError::data("frame too large: its panels together exceed 67108864 cells");
    }

    // A frame that follows the previous one continues its carries and keeps its own, unless they
    // would hold more cells than a frame may.
    const bool follows = carry != nullptr && carry->valid && carry->generation == generation &&
                         carry->detail == options.heatmap_detail && end >= carry->end;
    FrameCarry next{true, generation, options.heatmap_detail, end, {}};
    if (follows) {
        Int128 kept = 0;
        for (const VornPanel& panel : spec.panels) kept += carried_cells(panel, window);
        if (kept <= Int128{kMaxFrameCells}) next.panels.resize(spec.panels.size());
    }
    const bool continues = follows && carry->panels.size() == spec.panels.size();

    std::vector<std::optional<Result<PanelData>>> results(spec.panels.size());
    PanelTasks tasks{spec.panels, window, options, end, continues ? &carry->panels : nullptr,
                     next.panels.empty() ? nullptr : &next.panels, results};
    run_split(spec.panels.size(), tasks);

    Frame frame{spec.symbol, end, {}};
    frame.panels.reserve(results.size());
    for (std::optional<Result<PanelData>>& result : results) {
        if (!result) return out_of_memory();  // unreachable: every task fills its slots
        if (!*result) return std::move(*result).error();
        frame.panels.push_back(std::move(**result));
    }
    if (carry != nullptr) *carry = std::move(next);
    return frame;
}

}  // namespace

FrameWindow frame_window(const VornSpec& spec, const Dataset& dataset, std::int64_t cursor) {
    std::int64_t end = spec.to_ts && *spec.to_ts < cursor ? *spec.to_ts : cursor;
    return FrameWindow{cut_window(dataset, spec.from_ts, end), end};
}

Result<Frame> compute_frame(const VornSpec& spec, const Dataset& dataset, std::int64_t cursor, PanelOptions options) {
    try {
        if (Result<void> valid = validate_spec(spec); !valid) return std::move(valid).error();
        return compute_validated_frame(spec, dataset, cursor, options, nullptr, 0, {});
    } catch (...) {
        return current_exception_error();
    }
}

Result<Frame> compute_frame(const VornSpec& spec, const Dataset& dataset, std::int64_t cursor, PanelOptions options,
                            FrameCarry& carry, std::uint64_t generation, DatasetIndex index) {
    try {
        if (Result<void> valid = validate_spec(spec); !valid) return std::move(valid).error();
        return compute_validated_frame(spec, dataset, cursor, options, &carry, generation, index);
    } catch (...) {
        return current_exception_error();
    }
}

}  // namespace vorn
