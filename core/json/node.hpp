#pragma once
// One stored JSON value in 8 bytes, and the stored parts of objects.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorn::json {

// The highest address a node can hold (arrays keep theirs shifted in 44 bits); arenas hand out
// nothing beyond it.
inline constexpr std::uintptr_t kMaxNodeAddress = (std::uintptr_t{1} << 47) - 1;

// One stored value. A finite double is kept as its own bits; everything else is a bit pattern
// whose exponent bits are all ones (which no finite double has): a 4-bit tag and a 48-bit payload
// holding a small integer or an arena or text address.
//
// Layouts behind an address: a string with escapes is a 64-bit length followed by its bytes (a
// one-byte length when it is shorter than 256 bytes, so a short escaped string costs little more
// than its text); a large integer or a non-finite float its 64 bits. A string without escapes is the address of its
// first byte in the text: it ends at the next double quote, since the text had no escape.
//
// An array's payload holds the address of its first node (a multiple of 8, shifted right by 3)
// above a 4-bit count; a count of 15 or more reads 15 there and is kept as a 64-bit count just
// before the nodes. An object's payload is the address of its body: the address of its shape (its
// sorted keys, shared by every object read with the same keys) followed by one node per key.
class Node {
public:
    enum Tag : std::uint8_t {
        kNull,
        kFalse,
        kTrue,
        kSmallUnsigned,  // payload: the value, below 2^48
        kSmallNegative,  // payload: the low 48 bits of the value, -2^48 or above
        kBigUnsigned,
        kBigNegative,
        kBoxedFloat,  // a float that is not finite (never read from text)
        kTextString,
        kArenaString,
        kArray,  // payload 0: empty
        kObject,  // payload 0: empty
        kShortArenaString,  // an arena string below 256 bytes: a one-byte length, then the bytes
    };
    // Arrays below this count keep it in the payload.
    static constexpr std::uint64_t kInlineCount = 15;
    static constexpr std::uint64_t kExponent = 0x7FF0'0000'0000'0000u;
    static constexpr std::uint64_t kPayload = 0x0000'FFFF'FFFF'FFFFu;

    Node() : bits_(kExponent) {}  // null

    static Node tagged(Tag tag, std::uint64_t payload) { return Node(kExponent | (std::uint64_t{tag} << 48) | payload); }
    static Node address(Tag tag, const void* at) { return tagged(tag, reinterpret_cast<std::uintptr_t>(at)); }
    // A finite double.
    static Node finite(double f) { return Node(std::bit_cast<std::uint64_t>(f)); }

    bool is_float() const { return (bits_ & kExponent) != kExponent; }
    Tag tag() const { return static_cast<Tag>((bits_ >> 48) & 0xF); }
    std::uint64_t payload() const { return bits_ & kPayload; }
    double as_finite() const { return std::bit_cast<double>(bits_); }
    template <class T>
    const T* pointer() const { return reinterpret_cast<const T*>(static_cast<std::uintptr_t>(payload())); }

private:
    explicit Node(std::uint64_t bits) : bits_(bits) {}
    std::uint64_t bits_;
};

// The sorted, unique keys of an object, followed in memory by `count` string views.
struct Shape {
    std::uint64_t count;
    const std::string_view* keys() const { return reinterpret_cast<const std::string_view*>(this + 1); }
};

// The stored part of an object: its shape, followed in memory by one value node per key.
struct ObjectBody {
    const Shape* shape;
    const Node* values() const { return reinterpret_cast<const Node*>(this + 1); }
};

// The text of a string node.
inline std::string_view string_of(Node node) {
    if (node.tag() == Node::kTextString) {
        const char* first = node.pointer<char>();
        const char* last = first;
        while (*last != '"') ++last;
        return {first, static_cast<std::size_t>(last - first)};
    }
    if (node.tag() == Node::kShortArenaString) {
        const auto* header = node.pointer<unsigned char>();
        return {reinterpret_cast<const char*>(header + 1), *header};
    }
    const auto* header = node.pointer<std::uint64_t>();
    return {reinterpret_cast<const char*>(header + 1), static_cast<std::size_t>(*header)};
}

}  // namespace vorn::json
