#pragma once
// What one Vorn object holds, and the operations the commands perform on it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/dataset/dataset.hpp"
#include "core/dataset/prepare.hpp"
#include "core/frame/frame.hpp"
#include "core/panels/clusters/clusters.hpp"
#include "core/result.hpp"
#include "core/spec/spec.hpp"

namespace vorn {

struct HandleState {
    std::optional<VornSpec> spec;
    Dataset dataset;
    // Bumped by every change of the spec or the dataset (see changed()).
    std::uint64_t generation = 0;
    // What the last frame left for the next one of a playback (see frame_carry.hpp).
    FrameCarry carry;
    // The numbers of the dataset's prices (see price_ids.hpp), kept with it through loads and
    // appends; null when there is no dataset or they could not be built.
    std::unique_ptr<PriceIds> price_ids;
    // The dataset's levels grouped by price (see price_writes.hpp), rebuilt when appends have
    // added a quarter of what it covers; null like price_ids.
    std::unique_ptr<PriceWrites> price_writes;
    // Levels appended beyond a quarter of what price_writes covers before it is rebuilt.
    std::uint64_t regroup_slack = 4096;

    // Every path that changes the spec or the dataset (a load, an append, a reset) calls this: it bumps the generation, so no
    // frame continues work carried from before the change, and drops that work.
    void changed() noexcept;

    void set_spec(VornSpec new_spec);
    // Prepares the dataset, stores it in place of the old one and returns its record count.
    std::uint64_t load(Dataset new_dataset);
    // Appends records at the end of the loaded lists (see append_dataset); the dataset stays
    // prepared. Returns the number of records added.
    Result<std::uint64_t> append(const Dataset& added);
    void reset();
    Result<TimeBounds> bounds() const;
    // Not const: a frame leaves its carry for the next one.
    Result<Frame> frame(PanelOptions options = {});
    Result<Frame> frame_at(std::int64_t ts, PanelOptions options = {});

    // The footprint clusters of the window that the frame at `ts` (without: the "frame" cursor)
    // takes into account, with the frame's errors for a missing spec or dataset.
    struct ClusterFrame {
        std::int64_t cursor_ts;
        Clusters clusters;
    };
    Result<ClusterFrame> clusters(std::optional<std::int64_t> ts, double price_bin, std::int64_t bucket_ms) const;

private:
    // Numbers the prices of levels added since the last call (all after a load); drops the
    // numbers when that fails, so frames take the path without them.
    void number_prices() noexcept;
    // Builds price_writes again when it is missing or appends outgrew it (null when that fails).
    void group_writes() noexcept;
    // The cursor of "frame" (ts unset) or "frame_at", or why no frame can be computed.
    Result<std::int64_t> cursor(std::optional<std::int64_t> ts) const;
};

// The state of a new object: the spec read from constructor text (none for empty text or "{}") and
// checked, with no dataset. A failure is the reader's or the validation's error.
Result<HandleState> state_from_spec_text(std::string_view text);

}  // namespace vorn
