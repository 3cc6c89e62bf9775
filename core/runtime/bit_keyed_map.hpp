#pragma once
// A hash map keyed by the bit pattern of a double: open addressing with linear probing in one
// flat array. Keys are equal only when their bits are (so -0.0 and 0.0, and NaNs with different
// payloads, are different keys), as the panels' price maps require. Memory grows by doubling,
// never per insertion; clear() is O(1) through a generation stamp, so a map emptied again and
// again (book snapshots) does not pay for its peak size each time.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

template <class Value>
class BitKeyedMap {
public:
    BitKeyedMap() { slots_.resize(kInitialSlots); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // The value under key, inserting `initial` when the key is new.
    Value& find_or_insert(std::uint64_t key, const Value& initial) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        std::size_t i = home(key);
        while (occupied(slots_[i])) {
            if (slots_[i].key == key) return slots_[i].value;
            i = (i + 1) & mask();
        }
        slots_[i] = Slot{key, generation_, initial};
        ++size_;
        assert(invariants_hold());
        return slots_[i].value;
    }

    void insert_or_assign(std::uint64_t key, const Value& value) { find_or_insert(key, value) = value; }

    // Removes key if present. Backward-shift deletion keeps every probe run unbroken, so there
    // are no tombstones to slow later look-ups.
    void erase(std::uint64_t key) {
        std::size_t i = home(key);
        while (true) {
            if (!occupied(slots_[i])) return;
            if (slots_[i].key == key) break;
            i = (i + 1) & mask();
        }
        std::size_t hole = i;
        std::size_t j = i;
        while (true) {
            j = (j + 1) & mask();
            if (!occupied(slots_[j])) break;
            const std::size_t h = home(slots_[j].key);
            // The entry at j may move into the hole unless its home lies cyclically in (hole, j].
            const bool home_after_hole = hole <= j ? (h > hole && h <= j) : (h > hole || h <= j);
            if (!home_after_hole) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole].generation = 0;
        --size_;
        assert(invariants_hold());
    }

    void clear() {
        size_ = 0;
        if (++generation_ == 0) {
            // The stamp wrapped: mark every slot empty for real, once in 2^32 clears.
            for (Slot& s : slots_) s.generation = 0;
            generation_ = 1;
        }
    }

    // What every operation keeps true, checked after each one in debug builds (and by the tests):
    // the count matches the occupied slots, the table is at most half full, and every entry is
    // reached from its home slot without crossing an empty one (so look-ups find it). O(slots).
    bool invariants_hold() const {
        std::size_t occupied_slots = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (!occupied(slots_[i])) continue;
            ++occupied_slots;
            for (std::size_t j = home(slots_[i].key); j != i; j = (j + 1) & mask()) {
                if (!occupied(slots_[j])) return false;
            }
        }
        return occupied_slots == size_ && size_ * 2 <= slots_.size() && (slots_.size() & mask()) == 0;
    }

    // Bytes of the table.
    std::size_t memory_bytes() const { return slots_.capacity() * sizeof(Slot); }

    // Calls f(key, value) for every entry, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for (const Slot& s : slots_)
            if (occupied(s)) f(s.key, s.value);
    }

private:
    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t generation = 0;  // the slot is occupied when this equals the map's stamp
        Value value{};
    };

    static constexpr std::size_t kInitialSlots = 64;

    bool occupied(const Slot& s) const { return s.generation == generation_; }
    std::size_t mask() const { return slots_.size() - 1; }
    // Fibonacci hashing: the top bits of the product depend on every bit of the key, so prices
    // that differ only in their last mantissa bits spread over the table.
    std::size_t home(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        --shift_;
        const std::uint32_t old_generation = generation_;
        generation_ = 1;
        size_ = 0;
        for (const Slot& s : old) {
            if (s.generation != old_generation) continue;
            std::size_t i = home(s.key);
            while (occupied(slots_[i])) i = (i + 1) & mask();
            slots_[i] = Slot{s.key, generation_, s.value};
            ++size_;
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    std::uint32_t generation_ = 1;
    unsigned shift_ = 64 - 6;  // 64 - log2(slot count)
};

}  // namespace vorn
