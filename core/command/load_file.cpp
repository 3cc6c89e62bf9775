#include "core/command/load_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/json/utf8_check.hpp"
#include "core/runtime/platform.hpp"

namespace vorn {
std::size_t LoadFileCommand::file_lines() const {
    std::string_view file = text().substr(kLoadFileHead.size(), size - kLoadFileHead.size() - kLoadFileTail.size());
    return static_cast<std::size_t>(std::count(file.begin(), file.end(), '\n')) + 1;
}

LoadFileCommand read_load_file_command(const char* path, std::size_t max_bytes) {
    LoadFileCommand command;
    platform::ReadFile file(path);
    if (file.error() != 0) {
        command.read_error = file.error();
        return command;
    }
    const std::size_t frame = kLoadFileHead.size() + kLoadFileTail.size();
    // A regular file is read in one piece of its size; anything else in growing pieces. Either way
    // the read goes on to the end, since a regular file may grow while it is read.
    std::size_t capacity = file.regular_size() > 0 ? static_cast<std::size_t>(file.regular_size()) : 1 << 16;
    if (capacity > max_bytes) capacity = max_bytes;
    std::size_t used = 0;
    std::unique_ptr<char[]> buffer(new char[capacity + frame + 1]);
    for (;;) {
        char* fresh = buffer.get() + kLoadFileHead.size() + used;
        std::ptrdiff_t got = file.read(fresh, capacity + 1 - used);
        if (got < 0) {
            command.read_error = file.error();
            return command;
        }
        // JSON text never holds a NUL byte, so the reader fails at or before the first one: nothing
        // after it can change the reply, and a device such as /dev/zero is not read to its end.
        if (const void* nul = std::memchr(fresh, '\0', static_cast<std::size_t>(got))) {
            used += static_cast<std::size_t>(static_cast<const char*>(nul) - fresh) + 1;
            break;
        }
        used += static_cast<std::size_t>(got);
        if (used <= capacity) break;  // the end of the file came before the buffer's spare byte
        if (capacity >= max_bytes) {
            command.read_error = EFBIG;
            return command;
        }
        std::size_t grown = capacity > max_bytes / 2 ? max_bytes : capacity * 2;
        std::unique_ptr<char[]> larger(new char[grown + frame + 1]);
        std::memcpy(larger.get(), buffer.get(), kLoadFileHead.size() + used);
        buffer = std::move(larger);
        capacity = grown;
    }
    std::memcpy(buffer.get(), kLoadFileHead.data(), kLoadFileHead.size());
    std::memcpy(buffer.get() + kLoadFileHead.size() + used, kLoadFileTail.data(), kLoadFileTail.size());
    command.invalid_utf8_at = json::first_invalid_utf8(std::string_view(buffer.get() + kLoadFileHead.size(), used));
    command.size = used + frame;
    command.storage = std::move(buffer);
    return command;
}

}  // namespace vorn
