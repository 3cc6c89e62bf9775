#pragma once
// Eight digits at a time: the run of digits at the start of 8 bytes and its decimal value, in
// constant time (little-endian order: the first byte is the least significant).
#include <bit>
#include <cstdint>
#include <cstring>

namespace vorn::json {

inline constexpr std::uint64_t kSmallPowersOfTen[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// Reads the run of up to 8 digits at `p`, which must have 8 readable bytes: returns how many
// digits lead the 8 bytes, with their decimal value in `value`. Constant time for any count.
inline int read_digit_run(const char* p, std::uint64_t& value) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    // A byte is a digit when its high nibble is 3 and its low nibble is at most 9; the flags
    // land in the high nibble of each non-digit byte, without carries between bytes.
    std::uint64_t flags = ((w & 0xF0F0F0F0F0F0F0F0ULL) ^ 0x3030303030303030ULL) |
                          (((w & 0x0F0F0F0F0F0F0F0FULL) + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL);
    int count = flags == 0 ? 8 : std::countr_zero(flags) / 8;
    if (count == 0) {
        value = 0;
        return 0;
    }
    // Keep the digits, moved to the most significant end, so the bytes below read as zeros.
    std::uint64_t digits = (w - 0x3030303030303030ULL) << (8 * (8 - count));
    digits = digits * 10 + (digits >> 8);
    digits = (((digits & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
              (((digits >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >> 32;
    value = digits;
    return count;
}

}  // namespace vorn::json
