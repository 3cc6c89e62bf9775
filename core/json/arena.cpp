#include "core/json/arena.hpp"

#include <new>

#include "core/json/node.hpp"

namespace vorn::json {

std::byte* Arena::new_block(std::size_t bytes) {
    auto block = std::unique_ptr<std::byte[]>(new std::byte[bytes]);
    // Nodes keep 48-bit addresses; a block beyond them cannot be used.
    if (reinterpret_cast<std::uintptr_t>(block.get()) > kMaxNodeAddress - bytes) throw std::bad_alloc();
    blocks_.push_back(std::move(block));
    return blocks_.back().get();
}

void Arena::adopt(void* block, std::size_t bytes) {
    if (reinterpret_cast<std::uintptr_t>(block) > kMaxNodeAddress - bytes) throw std::bad_alloc();
    adopted_.reserve(adopted_.size() + 1);
    adopted_.emplace_back(block);
}

void* Arena::allocate(std::size_t bytes, std::size_t align) {
    std::size_t pad = (align - (reinterpret_cast<std::uintptr_t>(cursor_) & (align - 1))) & (align - 1);
    if (cursor_ != nullptr && pad + bytes <= left_) {
        std::byte* out = cursor_ + pad;
        cursor_ = out + bytes;
        left_ -= pad + bytes;
        return out;
    }
    // A large request gets a block of its own and leaves the current shared block in use, so
    // its free rest is not abandoned.
    if (bytes > next_block_ / 4) {
        std::byte* block = new_block(bytes + align);
        std::size_t block_pad = (align - (reinterpret_cast<std::uintptr_t>(block) & (align - 1))) & (align - 1);
        return block + block_pad;
    }
    // Small requests share blocks that grow geometrically.
    std::size_t size = next_block_;
    if (next_block_ < (std::size_t{64} << 20)) next_block_ *= 2;
    cursor_ = new_block(size);
    left_ = size;
    pad = (align - (reinterpret_cast<std::uintptr_t>(cursor_) & (align - 1))) & (align - 1);
    std::byte* out = cursor_ + pad;
    cursor_ = out + bytes;
    left_ -= pad + bytes;
    return out;
}


}  // namespace vorn::json
