#include "core/json/value.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace vorn::json {
namespace {

// The highest address a node's payload can hold.
constexpr std::uintptr_t kAddressLimit = Node::kPayload;

template <class T>
Node boxed(Node::Tag tag, T value, Arena& arena) {
    T* box = arena.allocate_array<T>(1);
    *box = value;
    return Node::address(tag, box);
}

// A counted block: a 64-bit count followed by `count` items of T.
template <class T>
T* counted_block(std::size_t count, Arena& arena, std::uint64_t*& header) {
    header = static_cast<std::uint64_t*>(arena.allocate(sizeof(std::uint64_t) + count * sizeof(T), alignof(std::uint64_t)));
    *header = count;
    return reinterpret_cast<T*>(header + 1);
}

}  // namespace

std::optional<Value> Value::find(std::string_view key) const {
    if (kind_ != Kind::Object) return std::nullopt;
    const MemberNode* begin = members_;
    const MemberNode* end = members_ + size_;
    const MemberNode* it = std::lower_bound(begin, end, key, [](const MemberNode& m, std::string_view k) { return string_of(m.key) < k; });
    if (it == end || string_of(it->key) != key) return std::nullopt;
    return Value::of(it->value);
}

Node store_value(const Value& scalar, Arena& arena) {
    switch (scalar.kind()) {
        case Kind::Null: return Node();
        case Kind::Bool: return Node::tagged(scalar.as_bool() ? Node::kTrue : Node::kFalse, 0);
        case Kind::Unsigned: {
            std::uint64_t u = scalar.as_unsigned();
            if (u <= Node::kPayload) return Node::tagged(Node::kSmallUnsigned, u);
            return boxed(Node::kBigUnsigned, u, arena);
        }
        case Kind::Negative: {
            std::int64_t n = scalar.as_negative();
            if (n >= -static_cast<std::int64_t>(Node::kPayload) - 1) {
                return Node::tagged(Node::kSmallNegative, static_cast<std::uint64_t>(n) & Node::kPayload);
            }
            return boxed(Node::kBigNegative, n, arena);
        }
        case Kind::Float: {
            double f = scalar.as_float();
            if (std::isfinite(f)) return Node::finite(f);
            return boxed(Node::kBoxedFloat, f, arena);
        }
        case Kind::String: return copy_string(scalar.as_string(), arena);
        // Views made from a node have the count of their block just before the children.
        case Kind::Array:
            if (scalar.as_array().empty()) return Node::tagged(Node::kArray, 0);
            return Node::address(Node::kArray, reinterpret_cast<const std::uint64_t*>(scalar.array_nodes()) - 1);
        case Kind::Object:
            if (scalar.as_object().empty()) return Node::tagged(Node::kObject, 0);
            return Node::address(Node::kObject, reinterpret_cast<const std::uint64_t*>(scalar.object_members()) - 1);
    }
    return Node();
}

Node copy_string(std::string_view s, Arena& arena, std::string_view* copy) {
    std::uint64_t* header = nullptr;
    char* bytes = counted_block<char>(s.size(), arena, header);
    if (!s.empty()) std::memcpy(bytes, s.data(), s.size());
    if (copy != nullptr) *copy = {bytes, s.size()};
    return Node::address(Node::kArenaString, header);
}

Node store_string(std::string_view s, std::string_view text, Arena& arena) {
    const char* first = text.data();
    const char* last = first + text.size();
    // In the text and closed by its quote: a string token that had no escape.
    if (s.data() >= first && s.data() + s.size() < last && s.data()[s.size()] == '"' &&
        reinterpret_cast<std::uintptr_t>(s.data()) <= kAddressLimit) {
        return Node::address(Node::kTextString, s.data());
    }
    return copy_string(s, arena);
}

Node store_array(std::span<const Node> elements, Arena& arena) {
    if (elements.empty()) return Node::tagged(Node::kArray, 0);
    std::uint64_t* header = nullptr;
    Node* out = counted_block<Node>(elements.size(), arena, header);
    std::copy(elements.begin(), elements.end(), out);
    return Node::address(Node::kArray, header);
}

Node store_object(std::span<const MemberNode> members, Arena& arena) {
    if (members.empty()) return Node::tagged(Node::kObject, 0);
    std::uint64_t* header = nullptr;
    MemberNode* out = counted_block<MemberNode>(members.size(), arena, header);
    std::copy(members.begin(), members.end(), out);
    return Node::address(Node::kObject, header);
}

std::byte* Arena::new_block(std::size_t bytes) {
    auto block = std::unique_ptr<std::byte[]>(new std::byte[bytes]);
    // Nodes keep 48-bit addresses; a block beyond them cannot be used.
    if (reinterpret_cast<std::uintptr_t>(block.get()) > kAddressLimit - bytes) throw std::bad_alloc();
    blocks_.push_back(std::move(block));
    return blocks_.back().get();
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
