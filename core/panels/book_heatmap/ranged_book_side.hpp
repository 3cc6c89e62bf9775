#pragma once
// One side of the book restricted to the prices the heatmap grid can see, in ascending
// totalOrder key order. Prices outside the grid's key range never reach a cell, and the state
// inside the range evolves the same whether or not the outside is tracked, so they are dropped.
//
// The levels live in fixed-capacity chunks of sorted keys and quantities, chained in key order:
// finding a price is a search over the chunks' first keys and then within one chunk, and an
// insertion or removal moves at most one chunk's entries, however deep the book. Chunks come
// from a pool that only grows (amortised doubling), never one allocation per level.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/dataset/dataset.hpp"

namespace vorn {

class RangedBookSide {
public:
    // Tracks prices whose total_order_key lies in [lo, hi).
    RangedBookSide(std::uint64_t lo, std::uint64_t hi) : lo_(lo), hi_(hi) {}

    // Applies one level: a zero quantity removes the price, any other (negative and NaN too) is
    // stored, replacing what was there. Returns whether the tracked state may have changed:
    // false for a price outside the range and for removing a price that is not there. Inline:
    // most levels of a deep book lie outside the range and cost one comparison.
    bool apply(std::uint64_t key, double qty) { return covers(key) && apply_covered(key, qty); }
    bool covers(std::uint64_t key) const { return key >= lo_ && key < hi_; }
    std::uint64_t lo() const { return lo_; }
    std::uint64_t hi() const { return hi_; }
    void clear();
    // Fills an empty side from levels whose keys all lie in the range, strictly ascending (or,
    // with `descending`, strictly descending): the state applying them one by one would give,
    // laid out in chunks directly. A snapshot's side, sorted as exchanges send it.
    void fill_ordered(std::span<const PriceLevel> levels, bool descending);
    bool empty() const { return order_.empty(); }
    // The smallest and largest key held (the side must not be empty).
    std::uint64_t lowest_key() const { return first_key_.front(); }
    std::uint64_t highest_key() const;

    // A position in key order: entry `index` of the chunk at `ordinal` in the chain.
    struct Position {
        std::size_t ordinal;
        std::uint32_t index;
    };

    // The first position whose key is not below `key`.
    Position seek(std::uint64_t key) const;

    // Minus zero plus, in ascending key order, the quantities from `at` up to the first key not
    // below `hi`; `at` is left there, so the next cell can continue from it.
    double sum_below(Position& at, std::uint64_t hi) const;

private:
    static constexpr std::uint32_t kChunkCapacity = 128;
    struct Chunk {
        std::uint32_t size;
        std::uint64_t keys[kChunkCapacity];
        double qty[kChunkCapacity];
    };

    // apply() for a key within the range.
    bool apply_covered(std::uint64_t key, double qty);
    // The ordinal of the chunk that holds or would hold `key` (order_ not empty).
    std::size_t chunk_for(std::uint64_t key) const;
    std::uint32_t new_chunk();
    void insert_at(std::size_t ordinal, std::uint32_t index, std::uint64_t key, double qty);
    void erase_at(std::size_t ordinal, std::uint32_t index);

    std::uint64_t lo_;
    std::uint64_t hi_;
    std::vector<Chunk> pool_;
    std::vector<std::uint32_t> free_;        // pool slots not in the chain
    std::vector<std::uint32_t> order_;       // pool slots in ascending key order
    std::vector<std::uint64_t> first_key_;   // first key of each chunk of order_
};

}  // namespace vorn
