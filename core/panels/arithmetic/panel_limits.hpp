#pragma once
// Size limits of panel results, checked before anything of that size is allocated.
#include <cstdint>

namespace vorn {

// The most cells a book heatmap (rows x depth levels) and the most time buckets a funding/OI
// divergence panel may hold: 2^26, half a gigabyte of doubles per list.
inline constexpr std::uint64_t kMaxPanelCells = 67108864;

}  // namespace vorn
