#pragma once
// The book's levels grouped by price: for each side and each distinct price (in ascending
// totalOrder key order), the positions in the level pool of the levels that wrote it, ascending.
// A frame then reads only the levels of the prices its grid can see, and finds the closing
// book's best prices by looking at the last write of a few prices, instead of reading every
// level of its window. Built over the events present when it is built (the covered events);
// events appended later are read level by level until the next build.
//
// Needs the pool in event order (each event's levels after those of the event before it), as a
// dataset read in time order and extended by appends has it; otherwise it is not built.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/dataset/dataset.hpp"
#include "core/dataset/price_ids.hpp"
#include "core/runtime/pod_vector.hpp"

namespace vorn {

class PriceWrites {
public:
    enum Side : std::size_t { kBids = 0, kAsks = 1 };

    // False when the pool is not in event order, beyond 32-bit positions, or memory ran out: the
    // object is then unusable and must be dropped.
    bool build(const Dataset& dataset, const PriceIds& ids) noexcept;

    // The events covered: [0, events()), their levels [0, levels()).
    std::size_t events() const { return events_; }
    std::uint64_t levels() const { return levels_; }
    // Distinct prices of the covered levels by rank: ascending keys, and each one's price number.
    std::span<const std::uint64_t> keys() const { return {keys_.data(), keys_.size()}; }
    std::uint32_t number(std::size_t rank) const { return number_of_rank_[rank]; }
    // Pool positions of the levels of `side` at the price of `rank`, ascending.
    std::span<const std::uint32_t> writes(Side side, std::size_t rank) const {
        const PodVector<std::uint32_t>& offsets = offsets_[side];
        return {positions_[side].data() + offsets[rank], offsets[rank + 1] - offsets[rank]};
    }
    // The covered snapshot events, ascending.
    std::span<const std::uint64_t> snapshots() const { return {snapshots_.data(), snapshots_.size()}; }
    std::size_t memory_bytes() const;

private:
    std::size_t events_ = 0;
    std::uint64_t levels_ = 0;
    PodVector<std::uint64_t> keys_;
    PodVector<std::uint32_t> number_of_rank_;
    PodVector<std::uint32_t> offsets_[2];
    PodVector<std::uint32_t> positions_[2];
    PodVector<std::uint64_t> snapshots_;
};

}  // namespace vorn
