// The flat hash map keyed by a double's bits, against an ordered map, its invariants checked after
// every operation.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <map>
#include <random>

#include "core/runtime/bit_keyed_map.hpp"

namespace vorn {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(BitKeyedMap, MatchesAnOrderedMapUnderInsertEraseAndClear) {
    std::mt19937_64 rng(11);
    BitKeyedMap<double> map;
    std::map<std::uint64_t, double> reference;
    for (int step = 0; step < 200000; ++step) {
        // Few distinct keys, so probe runs collide, wrap, and erase shifts entries back.
        const std::uint64_t key = bits(static_cast<double>(rng() % 3000) * 0.5);
        const unsigned op = static_cast<unsigned>(rng() % 100);
        if (op < 55) {
            const double v = static_cast<double>(step);
            map.insert_or_assign(key, v);
            reference[key] = v;
        } else if (op < 99) {
            map.erase(key);
            reference.erase(key);
        } else if (step % 7 == 0) {
            map.clear();
            reference.clear();
        }
        ASSERT_TRUE(map.invariants_hold()) << "at step " << step;
        if (step % 5000 == 0 || step == 199999) {
            ASSERT_EQ(map.size(), reference.size());
            std::map<std::uint64_t, double> seen;
            map.for_each([&](std::uint64_t k, double v) { seen[k] = v; });
            ASSERT_EQ(seen, reference) << "at step " << step;
        }
    }
}

TEST(BitKeyedMap, ZerosOfBothSignsAreTwoKeys) {
    BitKeyedMap<int> map;
    map.insert_or_assign(bits(0.0), 1);
    map.insert_or_assign(bits(-0.0), 2);
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.find_or_insert(bits(0.0), 0), 1);
    EXPECT_EQ(map.find_or_insert(bits(-0.0), 0), 2);
    map.erase(bits(-0.0));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.find_or_insert(bits(0.0), 0), 1);
}

}  // namespace
}  // namespace vorn
