#pragma once
// What differs between the systems the engine runs on, behind one set of calls: large blocks grown
// by remapping their pages, reading a file, the processors this process may use, and keeping
// signals and fork() away from the worker threads. Linux keeps its own calls (mmap and mremap with
// large-page advice, file descriptors, the CPU affinity mask); every other system, and Linux built
// with VORN_PORTABLE, takes the portable path (the C library's heap, stdio, std::thread), which
// gives the same results. No other file of the engine includes a system header.
#include <cstddef>
#include <cstdint>

#if defined(__linux__) && !defined(VORN_PORTABLE)
#define VORN_LINUX_CALLS 1
#else
#define VORN_LINUX_CALLS 0
#endif

namespace vorn::platform {

// True where this build uses the Linux calls rather than the portable path.
inline constexpr bool kLinuxCalls = VORN_LINUX_CALLS == 1;

// Large blocks that are memory mappings of their own, grown and shrunk by remapping their pages
// (never copied, never held twice). Only where kMapsBlocks; elsewhere blocks come from the heap
// and these calls fail (nullptr) or do nothing.
inline constexpr bool kMapsBlocks = kLinuxCalls;
// A fresh mapping of `bytes`, asking for large pages when `large_pages` (advice only); nullptr
// when memory is short.
void* map_block(std::size_t bytes, bool large_pages) noexcept;
// The mapping `block` of `old_bytes` resized to `bytes`, perhaps moved, its first
// min(old_bytes, bytes) bytes kept; nullptr, with `block` untouched, when memory is short.
void* remap_block(void* block, std::size_t old_bytes, std::size_t bytes, bool large_pages) noexcept;
void unmap_block(void* block, std::size_t bytes) noexcept;

// A file opened for reading. Failures are errno values (ENOENT, EISDIR, ...), alike on every path.
class ReadFile {
public:
    // Opens the file at `path` (UTF-8 bytes). A directory fails with EISDIR.
    explicit ReadFile(const char* path) noexcept;
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;
    ~ReadFile();

    // 0 once opened, else why not.
    int error() const { return error_; }
    // The size of a regular file as opened; 0 for anything else (pipes, devices) or an empty file.
    std::uint64_t regular_size() const { return regular_size_; }
    // Reads up to `room` bytes into `into`: the count read (short only at the end of the file), or
    // -1 with error() set.
    std::ptrdiff_t read(char* into, std::size_t room) noexcept;

private:
    std::intptr_t handle_ = -1;
    int error_ = 0;
    std::uint64_t regular_size_ = 0;
};

// The number of processors this process may run on (at least 1): the CPU affinity mask on Linux,
// the machine's count elsewhere.
std::size_t available_processors() noexcept;

// Runs `start(context)` with every signal blocked in the calling thread, so that the threads it
// starts take none: signals keep going to the application's own threads. Where there are no
// signal masks (Windows), simply runs it.
void with_signals_blocked(void (*start)(void* context), void* context) noexcept;

// Installs handlers run around fork() (false when that failed); true without doing anything where
// there is no fork().
bool on_fork(void (*before)(), void (*in_parent)(), void (*in_child)()) noexcept;

}  // namespace vorn::platform
