#pragma once
// One command text in, one reply text out.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/command/handle_state.hpp"

namespace vorn {

inline constexpr const char* kVersion = "0.1.2";

// How a "load" command is read: straight from its text when it plainly succeeds, else as a value
// tree (Direct, always used in service), or always as a value tree (Tree, for tests that show both
// give the same replies and data).
enum class LoadReading : std::uint8_t { Direct, Tree };

// Reads the command and carries it out against `state`. Never throws: every failure, memory
// exhaustion included, becomes the error reply {"ok":false,"error":"..."}.
std::string dispatch_command(HandleState& state, std::string_view text,
                             LoadReading reading = LoadReading::Direct) noexcept;

}  // namespace vorn
