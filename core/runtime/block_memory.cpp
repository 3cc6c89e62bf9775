#include "core/runtime/block_memory.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#define VORN_MAPPED_BLOCKS 1
#else
#define VORN_MAPPED_BLOCKS 0
#endif

namespace vorn::block_memory {
namespace {

std::atomic<FailureHook> failure_hook{nullptr};

bool is_mapped(std::size_t bytes) { return VORN_MAPPED_BLOCKS && bytes >= kMappedFrom; }

#if VORN_MAPPED_BLOCKS
// Large pages where the system offers them on request: a block is written from its start to its
// end, and one fault per 2 MiB instead of one per 4 KiB is most of the cost of filling it on a
// virtual machine. A block written at once takes them from 2 MiB; a growing one only from 64 MiB,
// since the large page its writing has reached is resident whole (at most 2 MiB beyond what is
// written, 3% there). Only advice: without it a block works the same.
void* advised(void* block, std::size_t bytes, Filling filling) {
    if (block == MAP_FAILED) return nullptr;
    const std::size_t large_from = filling == Filling::AtOnce ? std::size_t{2} << 20 : std::size_t{64} << 20;
    if (bytes >= large_from) ::madvise(block, bytes, MADV_HUGEPAGE);
    return block;
}

void* map(std::size_t bytes, Filling filling) {
    return advised(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), bytes,
                   filling);
}
#endif

}  // namespace

void set_failure_hook(FailureHook hook) noexcept { failure_hook.store(hook, std::memory_order_relaxed); }

void* resize(void* block, std::size_t old_bytes, std::size_t bytes, Filling filling) noexcept {
    FailureHook hook = failure_hook.load(std::memory_order_relaxed);
    if (hook != nullptr && hook(bytes)) return nullptr;
    const bool was_mapped = block != nullptr && is_mapped(old_bytes);
    if (!was_mapped && !is_mapped(bytes)) return std::realloc(block, bytes);
#if VORN_MAPPED_BLOCKS
    if (was_mapped && is_mapped(bytes)) {
        return advised(::mremap(block, old_bytes, bytes, MREMAP_MAYMOVE), bytes, filling);
    }
    // Across the threshold the block changes kind; what is copied is below the threshold.
    void* fresh = is_mapped(bytes) ? map(bytes, filling) : std::malloc(bytes);
    if (fresh == nullptr) return nullptr;
    if (block != nullptr) std::memcpy(fresh, block, old_bytes < bytes ? old_bytes : bytes);
    release(block, old_bytes);
    return fresh;
#else
    return nullptr;
#endif
}

void release(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
#if VORN_MAPPED_BLOCKS
    if (is_mapped(bytes)) {
        ::munmap(block, bytes);
        return;
    }
#endif
    std::free(block);
}

}  // namespace vorn::block_memory
