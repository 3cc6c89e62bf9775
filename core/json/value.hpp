#pragma once
// The generic value tree read from a command text: `Value`, the decoded view of one stored node
// (kind, number, string, or the place of an array's or object's children) that readers work
// with, and the views of arrays and objects. Views are cheap to make and to copy.
//
// The tree is stored as 8-byte nodes (node.hpp) in arena blocks (arena.hpp) owned by a Document
// (document.hpp): no heap allocation per node, and a record of a few numbers costs little more
// than its text. Strings without escapes point into the source text, so the text must outlive the
// Document; unescaped strings live in the arena. An object keeps one member per key (the last
// occurrence in the text wins) and its members are stored sorted by ascending key bytes.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

#include "core/json/node.hpp"

namespace vorn::json {

enum class Kind : std::uint8_t { Null, Bool, Unsigned, Negative, Float, String, Array, Object };

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
}  // namespace vorn::json
