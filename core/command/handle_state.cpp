#include "core/command/handle_state.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/dataset/append.hpp"
#include "core/runtime/block_memory.hpp"
#include "core/spec/read_spec.hpp"

namespace vorn {
namespace {

// The stored lists are prepared (each in ascending ts order), so the last moment of the data is
// the largest last ts of the non-empty lists: no pass over the records on every frame.
template <class Record>
void latest(const PodVector<Record>& records, std::int64_t& hi) {
    if (!records.empty() && records.back().ts > hi) hi = records.back().ts;
}

std::int64_t last_ts(const Dataset& d) {
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    for_each_list(d, [&hi](const auto& list) { latest(list, hi); });
    return hi;
}

}  // namespace

Result<HandleState> state_from_spec_text(std::string_view text) {
    Result<std::optional<VornSpec>> spec = parse_spec_text(text);
    if (!spec) return std::move(spec).error();
    if (spec->has_value()) {
        if (Result<void> valid = validate_spec(**spec); !valid) return std::move(valid).error();
    }
    HandleState state;
    state.spec = std::move(spec).value();
    return state;
}

void HandleState::changed() noexcept {
    ++generation;
    carry = FrameCarry{};
}

void HandleState::number_prices() noexcept {
    try {
        if (!price_ids) price_ids = std::make_unique<PriceIds>();
        if (price_ids->extend(dataset.levels)) return;
    } catch (...) {
        // memory ran out: frames go on without the numbers
    }
    price_ids.reset();
}

void HandleState::group_writes() noexcept {
    if (!price_ids) {
        price_writes.reset();
        return;
    }
    // Appends add levels one frame reads one by one; the grouping is built again once they reach
    // a quarter of what it covers, so appends cost amortised constant work per level.
    if (price_writes) {
        const std::uint64_t tail = dataset.levels.size() - price_writes->levels();
        if (tail <= price_writes->levels() / 4 + regroup_slack) return;
    }
    try {
        price_writes.reset();
        auto built = std::make_unique<PriceWrites>();
        if (built->build(dataset, *price_ids)) price_writes = std::move(built);
    } catch (...) {
        // memory ran out: frames read the levels one by one
    }
}

void HandleState::set_spec(VornSpec new_spec) {
    spec = std::move(new_spec);
    changed();
}

std::uint64_t HandleState::load(Dataset new_dataset) {
    prepare_dataset(new_dataset);
    std::uint64_t count = new_dataset.record_count();
    dataset = std::move(new_dataset);
    price_ids.reset();
    price_writes.reset();
    changed();
    // The memory kept for the frames of the old dataset goes back to the system with it.
    block_memory::release_kept();
    number_prices();
    group_writes();
    return count;
}

Result<std::uint64_t> HandleState::append(const Dataset& added) {
    Result<std::uint64_t> appended = append_dataset(dataset, added);
    if (appended && *appended > 0) {
        changed();
        number_prices();
        group_writes();
    }
    return appended;
}

void HandleState::reset() {
    dataset = Dataset{};
    price_ids.reset();
    price_writes.reset();
    changed();
    block_memory::release_kept();
}

Result<TimeBounds> HandleState::bounds() const {
    // The stored lists are prepared (each in ts order), so their ends bound them: no pass over the
    // records, which a live replay asks for after every append.
    std::uint64_t count = 0;
    std::int64_t lo = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    for (const ListBounds& list : list_bounds(dataset)) {
        count += list.count;
        if (list.first_ts) lo = std::min(lo, *list.first_ts);
        if (list.last_ts) hi = std::max(hi, *list.last_ts);
    }
    if (count == 0) return VornError::data("no dataset");
    return TimeBounds{lo, hi, count};
}

Result<std::int64_t> HandleState::cursor(std::optional<std::int64_t> ts) const {
    if (!spec) return VornError::bad_spec("no spec set");
    if (dataset.record_count() == 0) return VornError::data("no dataset");
    if (ts) return *ts;
    return spec->to_ts ? *spec->to_ts : last_ts(dataset);
}

Result<Frame> HandleState::frame(PanelOptions options) {
    Result<std::int64_t> at = cursor(std::nullopt);
    if (!at) return std::move(at).error();
    return compute_frame(*spec, dataset, *at, options, carry, generation, {price_ids.get(), price_writes.get()});
}

Result<Frame> HandleState::frame_at(std::int64_t ts, PanelOptions options) {
    Result<std::int64_t> at = cursor(ts);
    if (!at) return std::move(at).error();
    return compute_frame(*spec, dataset, *at, options, carry, generation, {price_ids.get(), price_writes.get()});
}

Result<HandleState::ClusterFrame> HandleState::clusters(std::optional<std::int64_t> ts, double price_bin,
                                                        std::int64_t bucket_ms) const {
    Result<std::int64_t> at = cursor(ts);
    if (!at) return std::move(at).error();
    const auto [window, end] = frame_window(*spec, dataset, *at);
    Result<Clusters> computed = compute_clusters(price_bin, bucket_ms, window);
    if (!computed) return std::move(computed).error();
    return ClusterFrame{end, std::move(computed).value()};
}

}  // namespace vorn
