#pragma once
// The direct load: a "load" command decoded straight from its text, records going into their final
// storage in one pass, without the value tree. It answers only when the command plainly succeeds:
// the whole text is valid JSON, its root an object with one "cmd" equal to "load" and one
// "dataset" whose every list and record decodes. Anything unusual (any failure, a repeated key in
// the command, a list or a record, a variant given as an object) makes it decline, and the caller
// reads the command the general way, which then gives the exact reply, failure or not.
#include <optional>
#include <string_view>

#include "core/dataset/dataset.hpp"

namespace vorn {

// The dataset of a plainly valid "load" command `text`, or nothing. Throws std::bad_alloc.
std::optional<Dataset> decode_load_command_text(std::string_view text);

}  // namespace vorn
