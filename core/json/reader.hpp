#pragma once
// The generic reader: a whole text as one JSON value tree.
#include <string_view>

#include "core/json/value.hpp"
#include "core/result.hpp"

namespace vorn::json {

// At most this many arrays and objects may be open at once.
inline constexpr int kMaxDepth = 127;

// Reads `text` (UTF-8) as one JSON value followed only by white space. Strings of the tree may
// point into `text`, which must outlive the returned Document. A failure is a Parse error whose
// message is the reader's message followed by " at line L column C".
Result<Document> read_document(std::string_view text);

}  // namespace vorn::json
