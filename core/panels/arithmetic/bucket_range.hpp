#pragma once
// The run of consecutive time buckets that covers a span of timestamps, counted without overflow.
#include <cstdint>

#include "core/panels/arithmetic/bucket_index.hpp"

namespace vorn {

__extension__ typedef __int128 Int128;

// Buckets bucket_index(first_ts, b) .. bucket_index(last_ts, b) of width b. With 64-bit
// timestamps the count reaches 2^64 and a bucket end can pass INT64_MAX, and the first start
// falls below INT64_MIN when first_ts lies within b of it, so all of them are 128-bit.
struct BucketRange {
    Int128 first_start;  // start of the first bucket
    Int128 count;        // number of buckets, at least 1
    std::int64_t width;

    // The first bucket's start fits the signed 64-bit timestamps the panels report (every later
    // start lies between it and last_ts).
    bool starts_representable() const { return first_start >= INT64_MIN; }
};

// first_ts <= last_ts and b >= 1.
inline BucketRange bucket_range(std::int64_t first_ts, std::int64_t last_ts, std::int64_t b) {
    const std::int64_t f = bucket_index(first_ts, b);
    const std::int64_t g = bucket_index(last_ts, b);
    return BucketRange{Int128{f} * b, Int128{g} - f + 1, b};
}

}  // namespace vorn
