// The portable path of the platform layer (see platform.hpp): every system but Linux, and Linux
// built with VORN_PORTABLE. Blocks come from the heap (block_memory reallocates them), files are
// read with stdio, and the processor count is the machine's.
#include "core/runtime/platform.hpp"

#if !VORN_LINUX_CALLS

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>

namespace vorn::platform {
namespace {

std::FILE* file_of(std::intptr_t handle) { return reinterpret_cast<std::FILE*>(handle); }

// The path from its bytes: UTF-8 on Windows, which opens files by their UTF-16 names; as they are
// elsewhere.
std::filesystem::path path_of(const char* bytes) {
#if defined(_WIN32)
    return std::filesystem::path(reinterpret_cast<const char8_t*>(bytes));
#else
    return std::filesystem::path(bytes);
#endif
}

std::FILE* open_binary(const std::filesystem::path& path) {
#if defined(_WIN32)
    return ::_wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

}  // namespace

void* map_block(std::size_t, bool) noexcept { return nullptr; }
void* remap_block(void*, std::size_t, std::size_t, bool) noexcept { return nullptr; }
void unmap_block(void*, std::size_t) noexcept {}

ReadFile::ReadFile(const char* path) noexcept {
    std::filesystem::path native;
    try {
        native = path_of(path);
    } catch (const std::bad_alloc&) {
        error_ = ENOMEM;
        return;
    } catch (...) {
        error_ = EILSEQ;  // not UTF-8
        return;
    }
    errno = 0;
    std::FILE* file = open_binary(native);
    const int open_error = errno != 0 ? errno : ENOENT;
    std::error_code failure;
    const std::filesystem::file_status status = std::filesystem::status(native, failure);
    // Some systems open a directory for reading, others refuse it: it fails alike everywhere.
    if (!failure && std::filesystem::is_directory(status)) {
        if (file != nullptr) std::fclose(file);
        error_ = EISDIR;
        return;
    }
    if (file == nullptr) {
        error_ = open_error;
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    if (!failure && std::filesystem::is_regular_file(status)) {
        const std::uintmax_t size = std::filesystem::file_size(native, failure);
        if (!failure) regular_size_ = size;
    }
}

ReadFile::~ReadFile() {
    if (handle_ != -1) std::fclose(file_of(handle_));
}

std::ptrdiff_t ReadFile::read(char* into, std::size_t room) noexcept {
    std::FILE* file = file_of(handle_);
    std::size_t done = 0;
    while (done < room) {
        const std::size_t got = std::fread(into + done, 1, room - done, file);
        done += got;
        if (got != 0) continue;
        if (std::ferror(file)) {
            if (errno == EINTR) {
                std::clearerr(file);
                continue;
            }
            error_ = errno != 0 ? errno : EIO;
            return -1;
        }
        break;  // the end of the file
    }
    return static_cast<std::ptrdiff_t>(done);
}

std::size_t available_processors() noexcept {
    unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

}  // namespace vorn::platform

#endif
