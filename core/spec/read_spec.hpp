#pragma once
// The two ways a spec comes in, and its validation.
#include <optional>
#include <string_view>

#include "core/json/value.hpp"
#include "core/result.hpp"
#include "core/spec/spec.hpp"

namespace vorn {

// The constructor's text: trimmed of Unicode white space; empty or exactly "{}" gives no spec
// (nullopt). Otherwise read directly into a VornSpec; a failure is a Parse error whose message
// ends with " at line L column C".
Result<std::optional<VornSpec>> parse_spec_text(std::string_view text);

// The "spec" member of a "set_spec" command; a failure is a Parse error without position.
Result<VornSpec> spec_from_value(const json::Value& value);

// The checks after reading; a failure is a BadSpec error with the first failing check's message.
Result<void> validate_spec(const VornSpec& spec);

}  // namespace vorn
