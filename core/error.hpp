#pragma once
// The engine's failure value. Every fallible engine operation returns its result or one of these;
// nothing is thrown across the engine.
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

enum class ErrorKind : std::uint8_t { Parse, BadSpec, Data };

struct VornError {
    ErrorKind kind;
    std::string message;

    static VornError parse(std::string message) { return {ErrorKind::Parse, std::move(message)}; }
    static VornError bad_spec(std::string message) { return {ErrorKind::BadSpec, std::move(message)}; }
    static VornError data(std::string message) { return {ErrorKind::Data, std::move(message)}; }

    // The kind's prefix ("parse: ", "bad spec: ", "data: ") followed by the message.
    std::string display() const;
};

std::string_view error_prefix(ErrorKind kind);

// Only inside a catch block: the failure the exception being handled stands for. Memory running
// out (std::bad_alloc, or a container asked to grow beyond what can be allocated) is "data: out
// of memory"; anything else is a fault of the engine itself, "data: internal error: <what>".
// Used where the engine's boundaries catch (the command dispatcher, the frame's worker tasks).
VornError current_exception_error() noexcept;

}  // namespace vorn
