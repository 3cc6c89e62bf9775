#pragma once
// The texts of the bounds and frame replies.
#include <cstdint>
#include <string>

#include "core/dataset/prepare.hpp"
#include "core/frame/frame.hpp"

namespace vorn {

// The longest a frame reply may be; a frame whose reply could be longer is refused before it is
// written.
inline constexpr std::uint64_t kMaxReplyBytes = std::uint64_t{1} << 31;

std::string write_frame(const Frame& frame);
// An upper bound of the length of write_frame(frame), from the counts of its values.
std::uint64_t frame_reply_bound(const Frame& frame);
std::string write_bounds(const TimeBounds& bounds);

}  // namespace vorn
