#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

#include "core/panels/book_heatmap/ranged_book_side.hpp"
#include "panel_test_support.hpp"

namespace vorn {
namespace {

// The range sum the heatmap asks for, over a plain ordered map.
double reference_sum(const std::map<std::uint64_t, double>& side, std::uint64_t lo, std::uint64_t hi) {
    double total = -0.0;
    for (auto it = side.lower_bound(lo); it != side.end() && it->first < hi; ++it) total += it->second;
    return total;
}

TEST(RangedBookSide, DeepBooksMatchAnOrderedMap) {
    // Thousands of levels split chunks, removals empty and merge them, snapshots clear them;
    // every range sum must equal the ordered map's, bit for bit.
    std::mt19937_64 rng(5);
    const std::uint64_t lo = 1000, hi = 9000;
    RangedBookSide side(lo, hi);
    std::map<std::uint64_t, double> reference;
    for (int step = 0; step < 300000; ++step) {
        // Phases of growth and of shrinking, so the book swings between empty and thousands.
        const bool growing = (step / 40000) % 2 == 0;
        const std::uint64_t key = 500 + rng() % 9000;  // some outside [lo, hi)
        const bool zero = rng() % 100 < (growing ? 20u : 80u);
        const double qty = zero ? ((rng() & 1) ? 0.0 : -0.0) : static_cast<double>(rng() % 1000) * 0.001 - 0.1;
        const bool remove = qty == 0.0;
        const bool inside = key >= lo && key < hi;
        const bool present = reference.count(key) != 0;
        const bool expect_change = inside && (!remove || present);
        ASSERT_EQ(side.apply(key, qty), expect_change) << "step " << step;
        if (inside) {
            if (remove) reference.erase(key);
            else reference[key] = qty;
        }
        if (step % 97 == 0) {
            // A run of adjacent cells walked with one position, as the heatmap does.
            std::uint64_t a = 900 + rng() % 8300;
            RangedBookSide::Position at = side.seek(a);
            for (int cell = 0; cell < 8; ++cell) {
                const std::uint64_t b = a + rng() % 400;
                ASSERT_EQ(test::bits(side.sum_below(at, b)), test::bits(reference_sum(reference, a, b)))
                    << "step " << step << " [" << a << ", " << b << ")";
                a = b;
            }
        }
        if (step % 50000 == 49999) {
            side.clear();
            reference.clear();
            ASSERT_TRUE(side.empty());
        }
        ASSERT_EQ(side.empty(), reference.empty());
    }
}

}  // namespace
}  // namespace vorn
