#pragma once
// The generic value tree read from a command text.
//
// Nodes are 16-byte values held in arena blocks owned by a Document: no heap allocation per node.
// Strings without escapes point into the source text, so the text must outlive the Document;
// unescaped strings live in the arena. An object keeps one member per key (the last occurrence in
// the text wins) and its members are stored sorted by ascending key bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace vorn::json {

enum class Kind : std::uint8_t { Null, Bool, Unsigned, Negative, Float, String, Array, Object };

struct Member;

class Value {
public:
    Value() : kind_(Kind::Null), boolean_(false), size_(0), u_(0) {}

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
    std::span<const Value> as_array() const { return {elems_, size_}; }
    // Members in ascending byte order of their keys, keys unique.
    std::span<const Member> as_object() const;
    // The member's value by key (binary search), or nullptr when absent or not an object.
    const Value* find(std::string_view key) const;

    static Value null() { return Value(); }
    static Value boolean(bool b) { Value v; v.kind_ = Kind::Bool; v.boolean_ = b; return v; }
    static Value unsigned_integer(std::uint64_t u) { Value v; v.kind_ = Kind::Unsigned; v.u_ = u; return v; }
    // n must be below zero.
    static Value negative_integer(std::int64_t n) { Value v; v.kind_ = Kind::Negative; v.i_ = n; return v; }
    static Value floating(double f) { Value v; v.kind_ = Kind::Float; v.f_ = f; return v; }
    static Value string(const char* data, std::uint32_t size) { Value v; v.kind_ = Kind::String; v.str_ = data; v.size_ = size; return v; }
    static Value array(const Value* elems, std::uint32_t size) { Value v; v.kind_ = Kind::Array; v.elems_ = elems; v.size_ = size; return v; }
    static Value object(const Member* members, std::uint32_t size) { Value v; v.kind_ = Kind::Object; v.members_ = members; v.size_ = size; return v; }

private:
    Kind kind_;
    bool boolean_;
    std::uint32_t size_;
    union {
        std::uint64_t u_;
        std::int64_t i_;
        double f_;
        const char* str_;
        const Value* elems_;
        const Member* members_;
    };
};

struct Member {
    std::string_view key;
    Value value;
};

inline std::span<const Member> Value::as_object() const { return {members_, size_}; }

// Bump allocator in large blocks; everything is released with the arena.
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

private:
    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    std::byte* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_block_ = 64 * 1024;
};

// A read JSON value with the arena that holds its nodes.
class Document {
public:
    Document() = default;
    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;

    const Value& root() const { return root_; }
    Value& root() { return root_; }
    Arena& arena() { return arena_; }

private:
    Arena arena_;
    Value root_;
};

}  // namespace vorn::json
