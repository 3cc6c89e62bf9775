#pragma once
// One side of the book restricted to the prices the heatmap grid can see: a flat array sorted by
// totalOrder key (keys and quantities in two parallel arrays), kept small by ignoring every
// price outside the grid's key range. Prices outside never reach a cell, and the state inside
// the range evolves the same whether or not the outside is tracked.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

class RangedBookSide {
public:
    // Tracks prices whose total_order_key lies in [lo, hi).
    RangedBookSide(std::uint64_t lo, std::uint64_t hi) : lo_(lo), hi_(hi) {}

    // Applies one level: a zero quantity removes the price, any other (negative and NaN too) is
    // stored, replacing what was there. Returns whether the tracked state may have changed:
    // false for a price outside the range and for removing a price that is not there.
    bool apply(std::uint64_t key, double qty);
    void clear() {
        keys_.clear();
        qty_.clear();
    }

    // The first position at or after `from` whose key is not below `key`. Cells are visited in
    // ascending order, so each search starts where the previous one ended and gallops forward.
    std::size_t lower_bound_from(std::size_t from, std::uint64_t key) const;

    // Minus zero plus the quantities at positions [begin, end), in ascending price order.
    double sum(std::size_t begin, std::size_t end) const {
        double total = -0.0;
        for (std::size_t i = begin; i < end; ++i) total += qty_[i];
        return total;
    }

    bool in_range(std::uint64_t key) const { return key >= lo_ && key < hi_; }
    std::size_t size() const { return keys_.size(); }

private:
    std::uint64_t lo_;
    std::uint64_t hi_;
    std::vector<std::uint64_t> keys_;
    std::vector<double> qty_;
};

}  // namespace vorn
