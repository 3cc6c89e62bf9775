#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "core/panels/arithmetic/bin_price.hpp"
#include "core/panels/arithmetic/bucket_index.hpp"
#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "panel_test_support.hpp"

namespace vorn {
namespace {

using test::bits;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Round8Case {
    double x;
    double expected;
};

TEST(Round8, RoundsToEightDecimalsHalvesAwayFromZero) {
    const Round8Case cases[] = {
        {0.123456789, 0.12345679},
        {0.000000005, 0.00000001},    // a half rounds up, not to even
        {-0.000000005, -0.00000001},  // and down when negative
        {0.000000015, 0.00000001},    // the product is 1.4999999999999998
        {0.000000025, 0.00000003},    // half-even would give 0.00000002
        {0.0000000049, 0.0},
        {-0.0000000049, -0.0},        // rounds to zero keeping the sign
        {0.0, 0.0},
        {-0.0, -0.0},
        {100.0, 100.0},
        {-3.0, -3.0},
        {0.1, 0.1},
        {kInf, kInf},
        {-kInf, -kInf},
        {1e300, 1e300},
        {2e300, kInf},                // the scaled value overflows, as the formula gives
    };
    for (const Round8Case& c : cases) EXPECT_EQ(bits(round8(c.x)), bits(c.expected)) << c.x;
    EXPECT_TRUE(std::isnan(round8(kNaN)));
    EXPECT_TRUE(std::signbit(round8(-kNaN)));
}

TEST(Round8, AgreesWithRoundingTheFractionApart) {
    // Half away from zero computed plainly: the whole part and the fraction of |x * 1e8| split
    // exactly, one added when the fraction is at least a half (beyond 2^52 every double is whole).
    const auto reference = [](double x) {
        const double y = x * 1e8;
        const double magnitude = std::fabs(y);
        if (!(magnitude < 4503599627370496.0)) return y / 1e8;
        const double whole = std::floor(magnitude);
        return std::copysign(magnitude - whole >= 0.5 ? whole + 1 : whole, y) / 1e8;
    };
    std::mt19937_64 rng(7);
    std::vector<double> xs = {0.49999999999999994e-8, 0.5e-8, 1.5e-8, 2.5e-8, 4503599627370495.5 / 1e8,
                              4503599627370497.0 / 1e8, 123456.123456785, -123456.123456785};
    std::uniform_real_distribution<double> magnitude(-12.0, 12.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = std::pow(10.0, magnitude(rng)) * ((rng() & 1) != 0 ? 1 : -1);
        xs.push_back(x);
        xs.push_back(std::round(x * 1e8) / 1e8 + 0.5e-8);  // near halves
    }
    for (double x : xs) EXPECT_EQ(bits(round8(x)), bits(reference(x))) << x;
}

struct BinCase {
    double p;
    double w;
    double expected;
};

TEST(BinPrice, LowerEdgeOfTheBin) {
    const BinCase cases[] = {
        {100.2, 0.5, 100.0},
        {100.49, 0.5, 100.0},
        {100.5, 0.5, 100.5},  // a price on the lower edge belongs to that bin
        {-3.0, 10.0, -10.0},  // negative prices fall in the bin below
        {-10.0, 10.0, -10.0},
        {-0.5, 1.0, -1.0},
        {0.3, 0.1, 0.2},      // 0.3 / 0.1 is just below 3
        {0.7, 0.1, 0.6},
        {1.15, 0.05, 1.1},
        {100.2, 1.0, 100.0},
        {0.0, 1.0, 0.0},
        {-0.0, 1.0, -0.0},    // minus zero stays its own bin
        {61800.3, 10.0, 61800.0},
    };
    for (const BinCase& c : cases) EXPECT_EQ(bits(bin_price(c.p, c.w)), bits(c.expected)) << c.p << " / " << c.w;
}

struct BucketCase {
    std::int64_t ts;
    std::int64_t b;
    std::int64_t expected;
};

TEST(BucketIndex, FloorDivision) {
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const BucketCase cases[] = {
        {-1, 1000, -1},         {0, 1000, 0},           {999, 1000, 0},     {1000, 1000, 1},
        {1999, 1000, 1},        {-1000, 1000, -1},      {-1001, 1000, -2},  {kMin, 1, kMin},
        {kMax, 1, kMax},        {kMax, kMax, 1},        {kMin, kMax, -2},   {kMin + 1, kMax, -1},
        {-1, kMax, -1},         {kMin, 3, kMin / 3 - 1},
    };
    for (const BucketCase& c : cases) EXPECT_EQ(bucket_index(c.ts, c.b), c.expected) << c.ts << " / " << c.b;
}

TEST(BucketRange, CountsAndStartsWithoutOverflow) {
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const Int128 two64 = Int128{1} << 64;

    BucketRange all = bucket_range(kMin, kMax, 1);
    EXPECT_TRUE(all.count == two64);
    EXPECT_TRUE(all.first_start == kMin);
    EXPECT_TRUE(all.starts_representable());

    BucketRange top = bucket_range(kMax - 1, kMax, 2);
    EXPECT_TRUE(top.count == 1);
    EXPECT_TRUE(top.first_start == kMax - 1);
    EXPECT_TRUE(top.first_start + top.width > kMax);  // its end lies past INT64_MAX

    BucketRange below = bucket_range(kMin, kMin, 3);  // floor(INT64_MIN / 3) * 3 < INT64_MIN
    EXPECT_TRUE(below.count == 1);
    EXPECT_FALSE(below.starts_representable());

    BucketRange negative = bucket_range(-1, 250000, 60000);
    EXPECT_TRUE(negative.first_start == -60000);
    EXPECT_TRUE(negative.count == 6);
}

TEST(TotalOrder, OrdersEveryClassOfDouble) {
    const double denorm = std::numeric_limits<double>::denorm_min();
    // Ascending by totalOrder, NaNs of both signs at the ends.
    const std::vector<double> ascending = {-kNaN, -kInf, -1e308, -1.0, -denorm, -0.0, 0.0, denorm, 1.0, 1e308, kInf,
                                           kNaN};
    ASSERT_TRUE(std::signbit(ascending.front()));
    for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
        EXPECT_TRUE(total_order_less(ascending[i], ascending[i + 1])) << i;
        EXPECT_FALSE(total_order_less(ascending[i + 1], ascending[i])) << i;
    }
    for (double x : ascending) {
        EXPECT_FALSE(total_order_less(x, x));
        EXPECT_EQ(bits(from_total_order_key(total_order_key(x))), bits(x));
    }
    // NaNs with different payloads are different keys, ordered by payload.
    const double nan_a = std::bit_cast<double>(std::uint64_t{0x7FF8000000000001});
    const double nan_b = std::bit_cast<double>(std::uint64_t{0x7FF8000000000002});
    EXPECT_TRUE(total_order_less(nan_a, nan_b));
    EXPECT_TRUE(total_order_less(kInf, nan_a));
}

}  // namespace
}  // namespace vorn
