#pragma once
// Every distinct price of a dataset's level pool numbered once (by its bits, so minus zero and
// each NaN payload are prices of their own), with the number of each level's price. Frames use
// the numbers to index flat per-price arrays instead of searching ordered sides or hash maps;
// built at load, extended by appends, dropped with the dataset.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/dataset/dataset.hpp"
#include "core/runtime/bit_keyed_map.hpp"
#include "core/runtime/pod_vector.hpp"

namespace vorn {

class PriceIds {
public:
    // Numbers the levels past those numbered so far (all of them at first), the pool having only
    // grown. False when memory ran out or the pool is beyond 32-bit numbers: the object is then
    // unusable and must be dropped.
    bool extend(std::span<const PriceLevel> levels) noexcept;

    // Whether the numbers cover exactly `levels`, the pool a frame reads.
    bool covers(std::span<const PriceLevel> levels) const {
        return of_level_.size() == levels.size();
    }
    std::uint32_t of_level(std::size_t level) const { return of_level_[level]; }
    std::span<const std::uint32_t> of_levels() const { return {of_level_.data(), of_level_.size()}; }
    // The total_order_key of each number's price, in numbering (first seen) order.
    std::span<const std::uint64_t> keys() const { return {keys_.data(), keys_.size()}; }
    std::size_t distinct() const { return keys_.size(); }
    // Bytes held, for the documented memory bound.
    std::size_t memory_bytes() const;

private:
    PodVector<std::uint32_t> of_level_;
    PodVector<std::uint64_t> keys_;
    BitKeyedMap<std::uint32_t> number_;  // price bits -> number
};

}  // namespace vorn
