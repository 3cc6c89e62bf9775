#pragma once
// The generic reader: a whole text as one JSON value tree.
#include <span>
#include <string_view>

#include "core/json/document.hpp"
#include "core/result.hpp"

namespace vorn::json {

// At most this many arrays and objects may be open at once.
inline constexpr int kMaxDepth = 127;

// Reads `text` (UTF-8) as one JSON value followed only by white space. Strings of the tree may
// point into `text`, which must outlive the returned Document. A failure is a Parse error whose
// message is the reader's message followed by " at line L column C".
Result<Document> read_document(std::string_view text);
// As above, but of a root object only the members whose keys are among `kept_root_keys` are
// stored (the last of repeated ones wins as before); the other members, and a root that is not
// an object, are checked exactly as above (the same failures at the same places) and not stored.
// A root that is not an object reads as null. A command reads a few members of its object, so
// the rest of its text costs no memory.
Result<Document> read_document(std::string_view text, std::span<const std::string_view> kept_root_keys);

}  // namespace vorn::json
