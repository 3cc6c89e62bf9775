#include "core/json/store.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace vorn::json {
namespace {

Node array_node(const Node* first, std::uint64_t count) {
    std::uint64_t address = reinterpret_cast<std::uintptr_t>(first);
    return Node::tagged(Node::kArray, ((address >> 3) << 4) | std::min(count, Node::kInlineCount));
}

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
            return array_node(scalar.array_nodes(), scalar.as_array().size());
        case Kind::Object: return Node::address(Node::kObject, scalar.object_body());
    }
    return Node();
}

Node copy_string(std::string_view s, Arena& arena, std::string_view* copy) {
    if (s.size() <= std::numeric_limits<unsigned char>::max()) {
        auto* header = static_cast<unsigned char*>(arena.allocate(1 + s.size(), 1));
        *header = static_cast<unsigned char>(s.size());
        if (!s.empty()) std::memcpy(header + 1, s.data(), s.size());
        if (copy != nullptr) *copy = {reinterpret_cast<const char*>(header + 1), s.size()};
        return Node::address(Node::kShortArenaString, header);
    }
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
        reinterpret_cast<std::uintptr_t>(s.data()) <= kMaxNodeAddress) {
        return Node::address(Node::kTextString, s.data());
    }
    return copy_string(s, arena);
}

Node store_array(std::span<const Node> elements, Arena& arena) {
    if (elements.empty()) return Node::tagged(Node::kArray, 0);
    Node* out = nullptr;
    if (elements.size() < Node::kInlineCount) {
        out = arena.allocate_array<Node>(elements.size());
    } else {
        std::uint64_t* header = nullptr;
        out = counted_block<Node>(elements.size(), arena, header);
    }
    std::copy(elements.begin(), elements.end(), out);
    return array_node(out, elements.size());
}

Node adopt_array(Node* block, std::size_t count, Arena& arena) {
    arena.adopt(block, (count + 1) * sizeof(Node));
    if (count == 0) return Node::tagged(Node::kArray, 0);
    // The spare node holds the count that arrays of 15 or more keep before their nodes.
    std::uint64_t header = count;
    std::memcpy(static_cast<void*>(block), &header, sizeof header);
    return array_node(block + 1, count);
}

const Shape* store_shape(std::span<const std::string_view> keys, Arena& arena) {
    auto* shape = static_cast<Shape*>(arena.allocate(sizeof(Shape) + keys.size() * sizeof(std::string_view), alignof(Shape)));
    shape->count = keys.size();
    std::copy(keys.begin(), keys.end(), reinterpret_cast<std::string_view*>(shape + 1));
    return shape;
}

Node store_object(const Shape* shape, std::span<const Node> values, Arena& arena) {
    if (shape == nullptr || shape->count == 0) return Node::tagged(Node::kObject, 0);
    auto* body = static_cast<ObjectBody*>(arena.allocate(sizeof(ObjectBody) + values.size() * sizeof(Node), alignof(ObjectBody)));
    body->shape = shape;
    std::copy(values.begin(), values.end(), reinterpret_cast<Node*>(body + 1));
    return Node::address(Node::kObject, body);
}

}  // namespace vorn::json
