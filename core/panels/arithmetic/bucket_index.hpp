#pragma once
// The time grid: bucket k of width b covers [k*b, (k+1)*b).
#include <cstdint>

namespace vorn {

// Floor division of ts by b (b >= 1), so negative timestamps fall in the bucket below:
// bucket_index(-1, 1000) is -1. Never overflows: |ts / b| <= |ts|.
inline std::int64_t bucket_index(std::int64_t ts, std::int64_t b) {
    std::int64_t q = ts / b;
    if (ts % b < 0) --q;
    return q;
}

}  // namespace vorn
