#pragma once
// The price grid: the lower edge of the fixed-width bin that holds a price.
#include <cmath>

#include "core/panels/arithmetic/round8.hpp"

namespace vorn {

// round8(floor(p / w) * w), one IEEE operation at a time. The quotient is rounded before the
// floor, so a price on a decimal bin edge may land in the bin below (0.3 with w = 0.1 gives 0.2).
// w is positive and finite.
inline double bin_price(double p, double w) {
    const double index = std::floor(p / w);
    const double edge = index * w;
    return round8(edge);
}

}  // namespace vorn
