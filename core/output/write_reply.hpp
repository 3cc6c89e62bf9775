#pragma once
// The texts of the bounds and frame replies.
#include <string>

#include "core/dataset/prepare.hpp"
#include "core/frame/frame.hpp"

namespace vorn {

std::string write_frame(const Frame& frame);
std::string write_bounds(const TimeBounds& bounds);

}  // namespace vorn
