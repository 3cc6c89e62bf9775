#pragma once
// Rounding of every float a panel reports: to 8 decimal places, halves away from zero.
#include <cmath>

namespace vorn {

// x * 1e8 rounded half away from zero (std::round), divided by 1e8: each a single IEEE operation,
// so the result is reproducible to the bit. Keeps the sign (minus zero stays minus zero); NaN and
// infinities pass through. A product beyond the largest double becomes infinite, as the plain
// formula gives.
inline double round8(double x) {
    const double scaled = x * 100000000.0;
    return std::round(scaled) / 100000000.0;
}

}  // namespace vorn
