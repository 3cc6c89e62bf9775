#include "core/spec/trim_unicode_space.hpp"

#include <array>

namespace vorn {
namespace {

// The UTF-8 forms of the White_Space code points above U+007F: U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
constexpr std::array<std::string_view, 18> kWideSpaces = {
    "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82",
    "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
    "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
};
constexpr std::string_view kIdeographicSpace = "\xe3\x80\x80";

bool ascii_space(char c) { return (c >= '\t' && c <= '\r') || c == ' '; }

// The byte length of the White_Space code point that starts `text`, or 0.
std::size_t leading_space(std::string_view text) {
    if (ascii_space(text.front())) return 1;
    if (text.starts_with(kIdeographicSpace)) return kIdeographicSpace.size();
    for (std::string_view space : kWideSpaces) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

// The byte length of the White_Space code point that ends `text`, or 0.
std::size_t trailing_space(std::string_view text) {
    if (ascii_space(text.back())) return 1;
    if (text.ends_with(kIdeographicSpace)) return kIdeographicSpace.size();
    for (std::string_view space : kWideSpaces) {
        if (text.ends_with(space)) return space.size();
    }
    return 0;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
    while (!text.empty()) {
        std::size_t n = leading_space(text);
        if (n == 0) break;
        text.remove_prefix(n);
    }
    while (!text.empty()) {
        std::size_t n = trailing_space(text);
        if (n == 0) break;
        text.remove_suffix(n);
    }
    return text;
}

}  // namespace vorn
