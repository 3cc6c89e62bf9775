#pragma once
// The generic value tree read from a command text.
//
// The tree is stored as 8-byte nodes in arena blocks owned by a Document: no heap allocation per
// node, and a record of a few numbers costs little more than its text. `Value` is the decoded
// view of one node (kind, number, string, or the place of an array's or object's children) that
// readers work with; views are cheap to make and to copy.
//
// Strings without escapes point into the source text, so the text must outlive the Document;
// unescaped strings live in the arena. An object keeps one member per key (the last occurrence in
// the text wins) and its members are stored sorted by ascending key bytes.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vorn::json {

enum class Kind : std::uint8_t { Null, Bool, Unsigned, Negative, Float, String, Array, Object };

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

class ArrayView;
class ObjectView;

class Value {
public:
    Value() : kind_(Kind::Null), boolean_(false), size_(0), u_(0) {}

    // The view of a stored node.
    static Value of(Node node);

    Kind kind() const { return kind_; }
    bool is_null() const { return kind_ == Kind::Null; }
    bool is_number() const { return kind_ == Kind::Unsigned || kind_ == Kind::Negative || kind_ == Kind::Float; }

    bool as_bool() const { return boolean_; }
    std::uint64_t as_unsigned() const { return u_; }
    std::int64_t as_negative() const { return i_; }
    double as_float() const { return f_; }
    // Any number converted to the nearest double.
    double to_double() const {
        switch (kind_) {
            case Kind::Unsigned: return static_cast<double>(u_);
            case Kind::Negative: return static_cast<double>(i_);
            default: return f_;
        }
    }
    std::string_view as_string() const { return {str_, size_}; }
    ArrayView as_array() const;
    // Members in ascending byte order of their keys, keys unique.
    ObjectView as_object() const;
    // Where an array's or object's children are stored.
    const Node* array_nodes() const { return elems_; }
    const ObjectBody* object_body() const { return body_; }
    // The member's value by key (binary search); nothing when absent or not an object.
    std::optional<Value> find(std::string_view key) const;

    static Value null() { return Value(); }
    static Value boolean(bool b) { Value v; v.kind_ = Kind::Bool; v.boolean_ = b; return v; }
    static Value unsigned_integer(std::uint64_t u) { Value v; v.kind_ = Kind::Unsigned; v.u_ = u; return v; }
    // n must be below zero.
    static Value negative_integer(std::int64_t n) { Value v; v.kind_ = Kind::Negative; v.i_ = n; return v; }
    static Value floating(double f) { Value v; v.kind_ = Kind::Float; v.f_ = f; return v; }
    static Value string(const char* data, std::size_t size) { Value v; v.kind_ = Kind::String; v.str_ = data; v.size_ = size; return v; }
    static Value array(const Node* elems, std::size_t size) { Value v; v.kind_ = Kind::Array; v.elems_ = elems; v.size_ = size; return v; }
    // An empty object when `body` is null.
    static Value object(const ObjectBody* body) {
        Value v;
        v.kind_ = Kind::Object;
        v.body_ = body;
        v.size_ = body == nullptr ? 0 : static_cast<std::size_t>(body->shape->count);
        return v;
    }

private:
    Kind kind_;
    bool boolean_;
    std::size_t size_;  // of a string, array or object: 64 bits, so no length of the input is cut
    union {
        std::uint64_t u_;
        std::int64_t i_;
        double f_;
        const char* str_;
        const Node* elems_;
        const ObjectBody* body_;
    };
};

// A decoded object member.
struct Member {
    std::string_view key;
    Value value;
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

// Random access to the elements of an array, each seen as a Value.
class ArrayView {
public:
    class iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = Value;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Value;

        iterator() = default;
        explicit iterator(const Node* at) : at_(at) {}
        Value operator*() const { return Value::of(*at_); }
        iterator& operator++() { ++at_; return *this; }
        iterator operator++(int) { iterator before = *this; ++at_; return before; }
        difference_type operator-(const iterator& other) const { return at_ - other.at_; }
        bool operator==(const iterator& other) const { return at_ == other.at_; }

    private:
        const Node* at_ = nullptr;
    };

    ArrayView(const Node* first, std::size_t size) : first_(first), size_(size) {}
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Value operator[](std::size_t i) const { return Value::of(first_[i]); }
    iterator begin() const { return iterator(first_); }
    iterator end() const { return iterator(first_ + size_); }

private:
    const Node* first_;
    std::size_t size_;
};

// The members of an object in ascending key order, each seen as a Member.
class ObjectView {
public:
    class iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = Member;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Member;

        iterator() = default;
        iterator(const std::string_view* key, const Node* value) : key_(key), value_(value) {}
        Member operator*() const { return Member{*key_, Value::of(*value_)}; }
        iterator& operator++() { ++key_; ++value_; return *this; }
        iterator operator++(int) { iterator before = *this; ++*this; return before; }
        difference_type operator-(const iterator& other) const { return key_ - other.key_; }
        bool operator==(const iterator& other) const { return key_ == other.key_; }

    private:
        const std::string_view* key_ = nullptr;
        const Node* value_ = nullptr;
    };

    // An empty object when `body` is null.
    explicit ObjectView(const ObjectBody* body)
        : keys_(body == nullptr ? nullptr : body->shape->keys()),
          values_(body == nullptr ? nullptr : body->values()),
          size_(body == nullptr ? 0 : body->shape->count) {}
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Member operator[](std::size_t i) const { return Member{keys_[i], Value::of(values_[i])}; }
    iterator begin() const { return iterator(keys_, values_); }
    iterator end() const { return iterator(keys_ + size_, values_ + size_); }
    // The keys, sorted and unique.
    std::span<const std::string_view> keys() const { return {keys_, size_}; }

private:
    const std::string_view* keys_;
    const Node* values_;
    std::size_t size_;
};

inline ArrayView Value::as_array() const { return {elems_, size_}; }
inline ObjectView Value::as_object() const { return ObjectView(body_); }

inline Value Value::of(Node node) {
    if (node.is_float()) return floating(node.as_finite());
    switch (node.tag()) {
        case Node::kNull: return null();
        case Node::kFalse: return boolean(false);
        case Node::kTrue: return boolean(true);
        case Node::kSmallUnsigned: return unsigned_integer(node.payload());
        case Node::kSmallNegative: return negative_integer(static_cast<std::int64_t>(node.payload() | ~Node::kPayload));
        case Node::kBigUnsigned: return unsigned_integer(*node.pointer<std::uint64_t>());
        case Node::kBigNegative: return negative_integer(*node.pointer<std::int64_t>());
        case Node::kBoxedFloat: return floating(*node.pointer<double>());
        case Node::kTextString:
        case Node::kArenaString:
        case Node::kShortArenaString: {
            std::string_view s = string_of(node);
            return string(s.data(), s.size());
        }
        case Node::kArray: {
            std::uint64_t payload = node.payload();
            const auto* first = reinterpret_cast<const Node*>(static_cast<std::uintptr_t>((payload >> 4) << 3));
            std::uint64_t count = payload & Node::kInlineCount;
            if (count == Node::kInlineCount) count = reinterpret_cast<const std::uint64_t*>(first)[-1];
            return array(first, static_cast<std::size_t>(count));
        }
        default: return object(node.pointer<ObjectBody>());
    }
}

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

// Storing values as nodes; each throws std::bad_alloc when the arena cannot grow.
// A value as a node: numbers and literals are stored anew, strings copied into the arena; an array
// or object view made from a node refers to the same children.
Node store_value(const Value& value, Arena& arena);
// A string: kept in place when it lies in `text` and has no escape there, else copied.
Node store_string(std::string_view s, std::string_view text, Arena& arena);
// A string copied into the arena; returns its node and the copy's bytes.
Node copy_string(std::string_view s, Arena& arena, std::string_view* copy = nullptr);
Node store_array(std::span<const Node> elements, Arena& arena);
// An array of the `count` nodes that follow one spare node at the start of `block`, a block of
// `1 + count` nodes from std::malloc or std::realloc that the arena adopts (Arena::adopt), so
// a long array is stored without a second copy.
Node adopt_array(Node* block, std::size_t count, Arena& arena);
// A shape for `keys`, which must be sorted by their bytes and unique; the views are kept as they
// are, so their bytes must live as long as the arena.
const Shape* store_shape(std::span<const std::string_view> keys, Arena& arena);
// An object of `shape` (null for the empty object) whose values are `values`, one per key.
Node store_object(const Shape* shape, std::span<const Node> values, Arena& arena);

// A read JSON value with the arena that holds its nodes.
class Document {
public:
    Document() = default;
    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;

    const Value& root() const { return root_; }
    void set_root(Node root) { root_ = Value::of(root); }
    Arena& arena() { return arena_; }

private:
    Arena arena_;
    Value root_;
};

}  // namespace vorn::json
