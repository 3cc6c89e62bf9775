#include "core/command/handle_state.hpp"

#include <utility>

namespace vorn {

void HandleState::set_spec(VornSpec new_spec) { spec = std::move(new_spec); }

std::uint64_t HandleState::load(Dataset new_dataset) {
    prepare_dataset(new_dataset);
    std::uint64_t count = new_dataset.record_count();
    dataset = std::move(new_dataset);
    return count;
}

void HandleState::reset() { dataset = Dataset{}; }

Result<TimeBounds> HandleState::bounds() const {
    std::optional<TimeBounds> b = compute_bounds(dataset);
    if (!b) return VornError::data("no dataset");
    return *b;
}

Result<Frame> HandleState::frame() const {
    if (!spec) return VornError::bad_spec("no spec set");
    std::optional<TimeBounds> b = compute_bounds(dataset);
    if (!b) return VornError::data("no dataset");
    return compute_frame(*spec, dataset, spec->to_ts ? *spec->to_ts : b->to_ts);
}

Result<Frame> HandleState::frame_at(std::int64_t ts) const {
    if (!spec) return VornError::bad_spec("no spec set");
    if (!compute_bounds(dataset)) return VornError::data("no dataset");
    return compute_frame(*spec, dataset, ts);
}

}  // namespace vorn
