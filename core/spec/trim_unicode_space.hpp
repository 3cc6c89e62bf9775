#pragma once
// Trimming of the constructor's spec text: every Unicode White_Space code point, not only the
// four bytes that JSON itself treats as white space.
#include <string_view>

namespace vorn {

// `text` (UTF-8) without leading and trailing White_Space code points.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace vorn
