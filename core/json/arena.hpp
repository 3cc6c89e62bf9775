#pragma once
// Memory for the value tree's nodes.
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

namespace vorn::json {

// Bump allocator in large blocks; everything is released with the arena. Every address it hands
// out fits a node's 48-bit payload.
class Arena {
public:
    Arena() = default;
    Arena(Arena&&) noexcept = default;
    Arena& operator=(Arena&&) noexcept = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // Memory for `bytes` bytes aligned to `align` (a power of two up to alignof(max_align_t)).
    // Throws std::bad_alloc like operator new.
    void* allocate(std::size_t bytes, std::size_t align);

    template <class T>
    T* allocate_array(std::size_t count) {
        return static_cast<T*>(allocate(count * sizeof(T), alignof(T)));
    }

    // Takes ownership of `block` (`bytes` long, from std::malloc or std::realloc), which is
    // released with std::free. Throws std::bad_alloc, leaving the block to the caller, when it
    // cannot be recorded or lies beyond the addresses a node can hold.
    void adopt(void* block, std::size_t bytes);

private:
    struct FreeBlock {
        void operator()(void* block) const noexcept { std::free(block); }
    };

    std::byte* new_block(std::size_t bytes);

    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    std::vector<std::unique_ptr<void, FreeBlock>> adopted_;
    std::byte* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_block_ = 64 * 1024;
};

}  // namespace vorn::json
