#include "core/runtime/block_memory.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/runtime/platform.hpp"

namespace vorn::block_memory {
namespace {

std::atomic<FailureHook> failure_hook{nullptr};

bool is_mapped(std::size_t bytes) { return platform::kMapsBlocks && bytes >= kMappedFrom; }

// Large pages where the system offers them on request: a block is written from its start to its
// end, and one fault per 2 MiB instead of one per 4 KiB is most of the cost of filling it on a
// virtual machine. A block written at once takes them from 2 MiB; a growing one only from 64 MiB,
// since the large page its writing has reached is resident whole (at most 2 MiB beyond what is
// written, 3% there). Only advice: without it a block works the same.
bool large_pages(std::size_t bytes, Filling filling) {
    const std::size_t large_from = filling == Filling::AtOnce ? std::size_t{2} << 20 : std::size_t{64} << 20;
    return bytes >= large_from;
}

void* map(std::size_t bytes, Filling filling) { return platform::map_block(bytes, large_pages(bytes, filling)); }

}  // namespace

void set_failure_hook(FailureHook hook) noexcept { failure_hook.store(hook, std::memory_order_relaxed); }

void* resize(void* block, std::size_t old_bytes, std::size_t bytes, Filling filling) noexcept {
    FailureHook hook = failure_hook.load(std::memory_order_relaxed);
    if (hook != nullptr && hook(bytes)) return nullptr;
    const bool was_mapped = block != nullptr && is_mapped(old_bytes);
    if (!was_mapped && !is_mapped(bytes)) return std::realloc(block, bytes);
    if (was_mapped && is_mapped(bytes)) {
        return platform::remap_block(block, old_bytes, bytes, large_pages(bytes, filling));
    }
    // Across the threshold the block changes kind; what is copied is below the threshold.
    void* fresh = is_mapped(bytes) ? map(bytes, filling) : std::malloc(bytes);
    if (fresh == nullptr) return nullptr;
    if (block != nullptr) std::memcpy(fresh, block, old_bytes < bytes ? old_bytes : bytes);
    release(block, old_bytes);
    return fresh;
}

void release(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (is_mapped(bytes)) {
        platform::unmap_block(block, bytes);
        return;
    }
    std::free(block);
}

}  // namespace vorn::block_memory
