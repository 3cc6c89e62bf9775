#pragma once
// One command text in, one reply text out.
#include <string>
#include <string_view>

#include "core/command/handle_state.hpp"

namespace vorn {

inline constexpr const char* kVersion = "0.1.2";

// Reads the command and carries it out against `state`. Never throws: every failure, memory
// exhaustion included, becomes the error reply {"ok":false,"error":"..."}.
std::string dispatch_command(HandleState& state, std::string_view text) noexcept;

}  // namespace vorn
