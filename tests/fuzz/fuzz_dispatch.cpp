// The dispatcher driven by a sequence of commands (one per line) against one handle state. Every
// reply is well-formed; a failed command leaves the bounds and frame replies as they were.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/command/dispatch.hpp"
#include "tests/fuzz/fuzz_checks.hpp"

namespace {

constexpr std::string_view kProbes[] = {R"({"cmd":"bounds"})", R"({"cmd":"frame"})", R"({"cmd":"frame_at","ts":0})"};

std::string observe(vorn::HandleState& state) {
    std::string seen;
    for (std::string_view probe : kProbes) {
        seen += vorn::dispatch_command(state, probe);
        seen += '\n';
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    vorn::HandleState state;
    std::string before = observe(state);
    int commands = 0;
    while (!input.empty() && commands < 16) {
        std::size_t end = input.find('\n');
        std::string_view command = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        ++commands;
        std::string reply = vorn::dispatch_command(state, command);
        vorn::fuzz::check_reply(reply);
        if (vorn::fuzz::is_error_reply(reply)) {
            if (observe(state) != before) vorn::fuzz::fail("a failed command changed the state", command);
        } else {
            before = observe(state);
            for (std::string_view probe : kProbes) vorn::fuzz::check_reply(vorn::dispatch_command(state, probe));
        }
    }
    return 0;
}
