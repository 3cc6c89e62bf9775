#pragma once
// The IEEE 754 totalOrder of 64-bit floats, the key order of every price-keyed map:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN, keys equal only when their bits are.
#include <bit>
#include <cstdint>

namespace vorn {

// An unsigned integer whose ordinary order is the totalOrder of the doubles: negative values have
// all bits flipped (larger magnitude sorts lower), non-negative ones get the sign bit set.
constexpr std::uint64_t total_order_key(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// The double whose total_order_key is `key`.
constexpr double from_total_order_key(std::uint64_t key) {
    const std::uint64_t bits = (key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key;
    return std::bit_cast<double>(bits);
}

constexpr bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

}  // namespace vorn
