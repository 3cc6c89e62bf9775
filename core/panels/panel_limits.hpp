#pragma once
// Size limits of panel results, checked before anything of that size is allocated.
#include <cstdint>

namespace vorn {

// The most cells a book heatmap (rows x depth levels) and the most time buckets a funding/OI
// divergence panel may hold: 2^26, half a gigabyte of doubles per list.
inline constexpr std::uint64_t kMaxPanelCells = 67108864;

// The most cells the panels of one frame may hold together (so a frame of several panels, each
// within its own limit, cannot take several times the memory of one).
inline constexpr std::uint64_t kMaxFrameCells = 67108864;

}  // namespace vorn
