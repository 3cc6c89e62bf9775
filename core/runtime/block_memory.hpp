#pragma once
// Blocks for the containers that grow in place (PodVector). A block of at least kMappedFrom bytes
// is a memory mapping of its own, grown and shrunk by remapping its pages: growing never copies
// it and never holds two copies, whatever the C library's heap has cached or the size at which it
// would otherwise map blocks (glibc raises that size to the largest block freed so far, so
// realloc of a block of tens of megabytes may copy it within the heap). Smaller blocks come from
// the C library. A mapped block given back is kept, its pages resident, for the next block of
// about its size (up to kMaxKeptBlocks blocks, kMaxKeptBytes in all): frames that follow each
// other reuse the same memory instead of mapping, faulting in and unmapping it every time. Allocations can be made to fail on purpose, as tests make operator new fail, so
// that the out-of-memory paths of code filling them are tested too.
#include <cstddef>

namespace vorn::block_memory {

inline constexpr std::size_t kMappedFrom = std::size_t{64} << 10;
inline constexpr std::size_t kMaxKeptBlocks = 32;
inline constexpr std::size_t kMaxKeptBytes = std::size_t{256} << 20;

// Asked before every allocation with its size in bytes; true makes that allocation fail.
using FailureHook = bool (*)(std::size_t bytes);
// Installs the hook (nullptr removes it). For tests.
void set_failure_hook(FailureHook hook) noexcept;

// How a block is about to be written: from its start onwards as it grows (its unwritten end should
// stay out of memory), or whole, at once.
enum class Filling : unsigned char { Growing, AtOnce };

// The block `block` of `old_bytes` (nullptr and 0 for none) resized to `bytes` (not 0), its first
// min(old_bytes, bytes) bytes kept; nullptr, with `block` untouched, when memory is short.
void* resize(void* block, std::size_t old_bytes, std::size_t bytes, Filling filling = Filling::Growing) noexcept;
// Gives back a block of `bytes` (nullptr for none).
void release(void* block, std::size_t bytes) noexcept;
// Unmaps every kept block (a dataset replaced or reset: the next frames differ anyway).
void release_kept() noexcept;
// The bytes of the kept blocks.
std::size_t kept_bytes() noexcept;

}  // namespace vorn::block_memory
