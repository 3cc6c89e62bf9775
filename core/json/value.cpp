#include "core/json/value.hpp"

#include <algorithm>
#include <new>

namespace vorn::json {

const Value* Value::find(std::string_view key) const {
    if (kind_ != Kind::Object) return nullptr;
    const Member* begin = members_;
    const Member* end = members_ + size_;
    const Member* it = std::lower_bound(begin, end, key, [](const Member& m, std::string_view k) { return m.key < k; });
    if (it == end || it->key != key) return nullptr;
    return &it->value;
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
        blocks_.push_back(std::unique_ptr<std::byte[]>(new std::byte[bytes + align]));
        std::byte* block = blocks_.back().get();
        std::size_t block_pad = (align - (reinterpret_cast<std::uintptr_t>(block) & (align - 1))) & (align - 1);
        return block + block_pad;
    }
    // Small requests share blocks that grow geometrically.
    std::size_t size = next_block_;
    if (next_block_ < (std::size_t{64} << 20)) next_block_ *= 2;
    blocks_.push_back(std::unique_ptr<std::byte[]>(new std::byte[size]));
    cursor_ = blocks_.back().get();
    left_ = size;
    pad = (align - (reinterpret_cast<std::uintptr_t>(cursor_) & (align - 1))) & (align - 1);
    std::byte* out = cursor_ + pad;
    cursor_ = out + bytes;
    left_ -= pad + bytes;
    return out;
}

}  // namespace vorn::json
