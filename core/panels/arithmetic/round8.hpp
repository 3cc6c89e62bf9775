#pragma once
// Rounding of every float a panel reports: to 8 decimal places, halves away from zero.
#include <cmath>
#include <cstdint>

namespace vorn {

// x * 1e8 rounded half away from zero, divided by 1e8: each a single IEEE operation, so the result
// is reproducible to the bit. Keeps the sign (minus zero stays minus zero); NaN and infinities pass
// through. A product beyond the largest double becomes infinite, as the plain formula gives. The
// rounding adds the double just below one half, with the sign, and truncates by conversion to an
// integer: std::round exactly, without the C library, whose round and trunc differ between
// systems (MinGW-w64's round adds one half and floors, rounding 0.49999999999999994 up to 1, and
// its trunc drops the sign of NaN).
inline double round8(double x) {
    const double scaled = x * 100000000.0;
    if (!(std::fabs(scaled) < 4503599627370496.0)) return scaled / 100000000.0;  // 2^52 on: all whole
    const double shifted = scaled + std::copysign(0.49999999999999994, scaled);
    return std::copysign(static_cast<double>(static_cast<std::int64_t>(shifted)), scaled) / 100000000.0;
}

}  // namespace vorn
