#pragma once
// Strict UTF-8 validation of text that did not come from a Python str (a file read natively).
#include <cstddef>
#include <optional>
#include <string_view>

namespace vorn::json {

// The offset of the first byte of the first ill-formed sequence (overlong forms, surrogates, code
// points above U+10FFFF and truncated sequences are ill-formed), or none when the text is valid.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

}  // namespace vorn::json
