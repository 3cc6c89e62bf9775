#include "core/panels/book_heatmap/ranged_book_side.hpp"

#include <algorithm>
#include <cstring>

#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {
namespace {

// The first of a[0..n) not below key. Branch-free halving (the compiler emits conditional
// moves): book updates hit prices at random, so a branching search would mispredict at nearly
// every step.
std::size_t lower_bound_index(const std::uint64_t* a, std::size_t n, std::uint64_t key) {
    if (n == 0) return 0;
    const std::uint64_t* base = a;
    while (n > 1) {
        const std::size_t half = n / 2;
        base = base[half] < key ? base + half : base;
        n -= half;
    }
    return static_cast<std::size_t>(base - a) + (*base < key ? 1 : 0);
}

}  // namespace

std::size_t RangedBookSide::chunk_for(std::uint64_t key) const {
    // The last chunk whose first key is not above `key`, or the first chunk.
    // The chunks' first keys are distinct, so "first above key" is "first not below key + 1".
    const std::size_t above = key == UINT64_MAX ? first_key_.size()
                                                : lower_bound_index(first_key_.data(), first_key_.size(), key + 1);
    return above == 0 ? 0 : above - 1;
}

std::uint32_t RangedBookSide::new_chunk() {
    std::uint32_t slot;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(pool_.size());
        pool_.emplace_back();
    }
    pool_[slot].size = 0;
    return slot;
}

void RangedBookSide::clear() {
    free_.insert(free_.end(), order_.begin(), order_.end());
    order_.clear();
    first_key_.clear();
}

void RangedBookSide::fill_ordered(std::span<const PriceLevel> levels, bool descending) {
    // Chunks are filled to three quarters, leaving room for the diffs that follow.
    constexpr std::uint32_t kFill = kChunkCapacity / 4 * 3;
    Chunk* chunk = nullptr;
    auto add = [&](const PriceLevel& level) {
        if (level.qty == 0.0) return;  // removing an absent price
        if (chunk == nullptr || chunk->size == kFill) {
            const std::uint32_t slot = new_chunk();
            order_.push_back(slot);
            chunk = &pool_[slot];
            first_key_.push_back(total_order_key(level.price));
        }
        chunk->keys[chunk->size] = total_order_key(level.price);
        chunk->qty[chunk->size] = level.qty;
        ++chunk->size;
    };
    if (descending) {
        for (auto it = levels.rbegin(); it != levels.rend(); ++it) add(*it);
    } else {
        for (const PriceLevel& level : levels) add(level);
    }
}

bool RangedBookSide::apply_covered(std::uint64_t key, double qty) {
    const bool removal = qty == 0.0;  // both zeros
    if (order_.empty()) {
        if (removal) return false;
        order_.push_back(new_chunk());
        first_key_.push_back(key);
        insert_at(0, 0, key, qty);
        return true;
    }
    const std::size_t ordinal = chunk_for(key);
    Chunk& chunk = pool_[order_[ordinal]];
    const auto index = static_cast<std::uint32_t>(lower_bound_index(chunk.keys, chunk.size, key));
    const bool present = index < chunk.size && chunk.keys[index] == key;
    if (removal) {
        if (!present) return false;
        erase_at(ordinal, index);
    } else if (present) {
        chunk.qty[index] = qty;
    } else {
        insert_at(ordinal, index, key, qty);
    }
    return true;
}

void RangedBookSide::insert_at(std::size_t ordinal, std::uint32_t index, std::uint64_t key, double qty) {
    std::uint32_t slot = order_[ordinal];
    if (pool_[slot].size == kChunkCapacity) {
        // Split: the upper half moves to a new chunk right after this one.
        const std::uint32_t fresh = new_chunk();  // may move the pool: index again below
        Chunk& full = pool_[slot];
        Chunk& upper = pool_[fresh];
        constexpr std::uint32_t half = kChunkCapacity / 2;
        std::memcpy(upper.keys, full.keys + half, half * sizeof(std::uint64_t));
        std::memcpy(upper.qty, full.qty + half, half * sizeof(double));
        upper.size = half;
        full.size = half;
        const auto after = static_cast<std::ptrdiff_t>(ordinal) + 1;
        order_.insert(order_.begin() + after, fresh);
        first_key_.insert(first_key_.begin() + after, upper.keys[0]);
        if (index > half) {
            ++ordinal;
            index -= half;
            slot = fresh;
        }
    }
    Chunk& chunk = pool_[slot];
    const std::uint32_t tail = chunk.size - index;
    std::memmove(chunk.keys + index + 1, chunk.keys + index, tail * sizeof(std::uint64_t));
    std::memmove(chunk.qty + index + 1, chunk.qty + index, tail * sizeof(double));
    chunk.keys[index] = key;
    chunk.qty[index] = qty;
    ++chunk.size;
    if (index == 0) first_key_[ordinal] = key;
}

void RangedBookSide::erase_at(std::size_t ordinal, std::uint32_t index) {
    const std::uint32_t slot = order_[ordinal];
    Chunk& chunk = pool_[slot];
    const std::uint32_t tail = chunk.size - index - 1;
    std::memmove(chunk.keys + index, chunk.keys + index + 1, tail * sizeof(std::uint64_t));
    std::memmove(chunk.qty + index, chunk.qty + index + 1, tail * sizeof(double));
    --chunk.size;
    if (chunk.size == 0) {
        free_.push_back(slot);
        order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(ordinal));
        first_key_.erase(first_key_.begin() + static_cast<std::ptrdiff_t>(ordinal));
        return;
    }
    if (index == 0) first_key_[ordinal] = chunk.keys[0];
    // Merge with the next chunk while both together fill at most half a chunk, so a book that
    // shrinks does not leave a long chain of nearly empty chunks.
    if (ordinal + 1 < order_.size()) {
        const std::uint32_t next_slot = order_[ordinal + 1];
        Chunk& next = pool_[next_slot];
        if (chunk.size + next.size <= kChunkCapacity / 2) {
            std::memcpy(chunk.keys + chunk.size, next.keys, next.size * sizeof(std::uint64_t));
            std::memcpy(chunk.qty + chunk.size, next.qty, next.size * sizeof(double));
            chunk.size += next.size;
            free_.push_back(next_slot);
            order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(ordinal) + 1);
            first_key_.erase(first_key_.begin() + static_cast<std::ptrdiff_t>(ordinal) + 1);
        }
    }
}

std::uint64_t RangedBookSide::highest_key() const {
    const Chunk& last = pool_[order_.back()];
    return last.keys[last.size - 1];
}

RangedBookSide::Position RangedBookSide::seek(std::uint64_t key) const {
    if (order_.empty()) return {0, 0};
    const std::size_t ordinal = chunk_for(key);
    const Chunk& chunk = pool_[order_[ordinal]];
    return {ordinal, static_cast<std::uint32_t>(lower_bound_index(chunk.keys, chunk.size, key))};
}

double RangedBookSide::sum_below(Position& at, std::uint64_t hi) const {
    double total = -0.0;
    while (at.ordinal < order_.size()) {
        const Chunk& chunk = pool_[order_[at.ordinal]];
        std::uint32_t i = at.index;
        while (i < chunk.size && chunk.keys[i] < hi) total += chunk.qty[i++];
        if (i < chunk.size) {
            at.index = i;
            return total;
        }
        ++at.ordinal;
        at.index = 0;
    }
    return total;
}

}  // namespace vorn
