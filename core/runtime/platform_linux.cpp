// The Linux calls of the platform layer (see platform.hpp); the portable path is
// platform_portable.cpp.
#include "core/runtime/platform.hpp"

#if VORN_LINUX_CALLS

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace vorn::platform {
namespace {

void* advised(void* block, std::size_t bytes, bool large_pages) {
    if (block == MAP_FAILED) return nullptr;
    if (large_pages) ::madvise(block, bytes, MADV_HUGEPAGE);
    return block;
}

}  // namespace

void* map_block(std::size_t bytes, bool large_pages) noexcept {
    return advised(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), bytes,
                   large_pages);
}

void* remap_block(void* block, std::size_t old_bytes, std::size_t bytes, bool large_pages) noexcept {
    return advised(::mremap(block, old_bytes, bytes, MREMAP_MAYMOVE), bytes, large_pages);
}

void unmap_block(void* block, std::size_t bytes) noexcept { ::munmap(block, bytes); }

ReadFile::ReadFile(const char* path) noexcept {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = errno;
        return;
    }
    handle_ = fd;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error_ = errno;
    } else if (S_ISDIR(info.st_mode)) {
        error_ = EISDIR;
    } else if (S_ISREG(info.st_mode) && info.st_size > 0) {
        regular_size_ = static_cast<std::uint64_t>(info.st_size);
    }
}

ReadFile::~ReadFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::ptrdiff_t ReadFile::read(char* into, std::size_t room) noexcept {
    std::size_t done = 0;
    while (done < room) {
        ssize_t got = ::read(static_cast<int>(handle_), into + done, room - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::ptrdiff_t>(done);
}

std::size_t available_processors() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    } else if (errno == EINVAL) {
        // More processors than a fixed cpu_set_t describes: ask with growing masks.
        for (std::size_t cpus = 2 * CPU_SETSIZE; cpus <= (std::size_t{1} << 20); cpus *= 2) {
            cpu_set_t* dynamic = CPU_ALLOC(cpus);
            if (dynamic == nullptr) break;
            std::size_t size = CPU_ALLOC_SIZE(cpus);
            CPU_ZERO_S(size, dynamic);
            int rc = sched_getaffinity(0, size, dynamic);
            int n = rc == 0 ? CPU_COUNT_S(size, dynamic) : 0;
            int err = errno;
            CPU_FREE(dynamic);
            if (rc == 0 && n > 0) return static_cast<std::size_t>(n);
            if (rc != 0 && err != EINVAL) break;
        }
    }
    unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

}  // namespace vorn::platform

#endif
