#include "core/command/load_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/json/utf8_check.hpp"

namespace vorn {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads up to `room` bytes into `into`; the count read (short only at the end of the file), or
// -1 with errno set.
ssize_t read_fully(int fd, char* into, std::size_t room) {
    std::size_t done = 0;
    while (done < room) {
        ssize_t got = ::read(fd, into + done, room - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

std::size_t LoadFileCommand::file_lines() const {
    std::string_view file = text().substr(kLoadFileHead.size(), size - kLoadFileHead.size() - kLoadFileTail.size());
    return static_cast<std::size_t>(std::count(file.begin(), file.end(), '\n')) + 1;
}

LoadFileCommand read_load_file_command(const char* path, std::size_t max_bytes) {
    LoadFileCommand command;
    FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        command.read_error = errno;
        return command;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        command.read_error = errno;
        return command;
    }
    if (S_ISDIR(info.st_mode)) {
        command.read_error = EISDIR;
        return command;
    }
    const std::size_t frame = kLoadFileHead.size() + kLoadFileTail.size();
    // A regular file is read in one piece of its size; anything else in growing pieces. Either way
    // the read goes on to the end, since a regular file may grow while it is read.
    std::size_t capacity = S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 1 << 16;
    if (capacity > max_bytes) capacity = max_bytes;
    std::size_t used = 0;
    std::unique_ptr<char[]> buffer(new char[capacity + frame + 1]);
    for (;;) {
        char* fresh = buffer.get() + kLoadFileHead.size() + used;
        ssize_t got = read_fully(fd.get(), fresh, capacity + 1 - used);
        if (got < 0) {
            command.read_error = errno;
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
