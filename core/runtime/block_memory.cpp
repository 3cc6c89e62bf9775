#include "core/runtime/block_memory.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/runtime/platform.hpp"

namespace vorn::block_memory {
namespace {

std::atomic<FailureHook> failure_hook{nullptr};

bool is_mapped(std::size_t bytes) { return platform::kMapsBlocks && bytes >= kMappedFrom; }

// A mapped block starts with a header holding the length of its whole mapping, which may be
// more than its owner asked for (a kept block reused for a smaller one). The block's values
// follow it, aligned to the header's size.
constexpr std::size_t kHeader = 64;
struct Header {
    std::size_t mapping;
};

// Mapping lengths are whole 4 KiB units (the kernel rounds a length up to its own page size,
// the same way for every call on the block).
constexpr std::size_t kUnit = std::size_t{4} << 10;
// Mappings come in eight sizes per doubling, so a block that a frame asks for again a
// little larger (a growing window's grid gains a row per step) still fits the one the previous
// frame gave back. What is never written costs address space only.
std::size_t mapping_for(std::size_t bytes) {
    const std::size_t needed = bytes + kHeader;
    const std::size_t step = std::max(kUnit, std::bit_floor(needed) / 8);
    return (needed + step - 1) / step * step;
}
char* base_of(void* block) { return static_cast<char*>(block) - kHeader; }
std::size_t mapping_of(void* block) { return reinterpret_cast<Header*>(base_of(block))->mapping; }
void* block_at(void* base, std::size_t mapping) {
    reinterpret_cast<Header*>(base)->mapping = mapping;
    return static_cast<char*>(base) + kHeader;
}

// Large pages only for the lists of a dataset, which grow while a load reads them and then stay:
// from 64 MiB, where the large page the writing has reached is resident whole (at most 2 MiB
// beyond what is written, 3% there). Blocks of a frame never ask: on a machine whose memory is
// fragmented the request stalls in compaction, and a kept block is faulted in only once anyway.
bool large_pages(std::size_t mapping, Filling filling) {
    return filling == Filling::Growing && mapping >= (std::size_t{64} << 20);
}

// Mapped blocks given back, kept (their pages resident) for the next block of about their size,
// so frame after frame reuses the same memory: no mapping, unmapping or page fault each time.
// Bounded in count and bytes; anything beyond is unmapped at once.
class KeptBlocks {
public:
    // A kept block of at least `mapping` bytes and at most twice that (or null).
    void* take(std::size_t mapping) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t best = kSlots;
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t size = slots_[i].mapping;
            if (size >= mapping && size / 2 <= mapping && (best == kSlots || size < slots_[best].mapping)) best = i;
        }
        if (best == kSlots) return nullptr;
        void* base = slots_[best].base;
        bytes_ -= slots_[best].mapping;
        slots_[best] = slots_[--count_];
        return base;
    }
    // Keeps the mapping, or unmaps it when the bounds are reached.
    void give(void* base, std::size_t mapping) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ < kSlots && mapping <= kMaxKeptBytes - bytes_) {
                slots_[count_++] = Slot{base, mapping};
                bytes_ += mapping;
                return;
            }
        }
        platform::unmap_block(base, mapping);
    }
    void release_all() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < count_; ++i) platform::unmap_block(slots_[i].base, slots_[i].mapping);
        count_ = 0;
        bytes_ = 0;
    }
    std::size_t bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

private:
    static constexpr std::size_t kSlots = kMaxKeptBlocks;
    struct Slot {
        void* base;
        std::size_t mapping;
    };
    std::mutex mutex_;
    Slot slots_[kSlots]{};
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

KeptBlocks& kept() {
    // Never destroyed (blocks may be given back while the process exits), and built in place
    // without allocating, so a failing allocation cannot reach it.
    alignas(KeptBlocks) static unsigned char storage[sizeof(KeptBlocks)];
    static KeptBlocks* const blocks = new (storage) KeptBlocks();
    return *blocks;
}

void* map(std::size_t bytes, Filling filling) {
    const std::size_t mapping = mapping_for(bytes);
    if (void* base = kept().take(mapping)) return block_at(base, reinterpret_cast<Header*>(base)->mapping);
    void* base = platform::map_block(mapping, large_pages(mapping, filling));
    if (base == nullptr) return nullptr;
    return block_at(base, mapping);
}

// A mapped block grown or shrunk to hold `bytes`: within its mapping when that is large enough
// and not more than twice what is needed, otherwise remapped (its pages move, never copied).
void* remap(void* block, std::size_t bytes, Filling filling) {
    const std::size_t mapping = mapping_of(block);
    const std::size_t wanted = mapping_for(bytes);
    if (wanted <= mapping && mapping / 2 <= wanted) return block;
    void* base = platform::remap_block(base_of(block), mapping, wanted, large_pages(wanted, filling));
    if (base == nullptr) return wanted <= mapping ? block : nullptr;
    return block_at(base, wanted);
}

}  // namespace

void set_failure_hook(FailureHook hook) noexcept { failure_hook.store(hook, std::memory_order_relaxed); }

void* resize(void* block, std::size_t old_bytes, std::size_t bytes, Filling filling) noexcept {
    FailureHook hook = failure_hook.load(std::memory_order_relaxed);
    if (hook != nullptr && hook(bytes)) return nullptr;
    const bool was_mapped = block != nullptr && is_mapped(old_bytes);
    if (!was_mapped && !is_mapped(bytes)) return std::realloc(block, bytes);
    if (was_mapped && is_mapped(bytes)) return remap(block, bytes, filling);
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
        kept().give(base_of(block), mapping_of(block));
        return;
    }
    std::free(block);
}

void release_kept() noexcept {
    kept().release_all();
}

std::size_t kept_bytes() noexcept {
    return kept().bytes();
}

}  // namespace vorn::block_memory
