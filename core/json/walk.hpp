#pragma once
// The one walk over a JSON value and everything nested in it, without recursion: the grammar
// between values (brackets, commas, colons, keys) and the nesting limit live here; what becomes of
// the values is the visitor's. The tree builder stores them; the skipper only checks them.
//
// A Visitor provides:
//   bool skips(std::size_t open)        whether the value due now, inside `open` containers opened
//                                       by this walk, is only checked (the walk skips it)
//   bool scalar(int c)                  reads the value other than an array or object whose first
//                                       byte `c` is due at the cursor; false once a failure is recorded
//   void open(bool is_object)           a container with at least one child was entered
//   void key(std::string_view key)      the key of the member whose value is due next (objects)
//   void empty(bool is_object)          an empty container, read as a value
//   void close(bool is_object)          the innermost container ended after its last child
//   std::size_t open_count()            the containers the walk has open (opened minus closed)
//   bool innermost_is_object()          whether the innermost of them is an object
//   std::string& scratch()              where keys with escapes are unescaped
// The visitor keeps the open containers (a tree builder needs its own record of them anyway).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/cursor.hpp"
#include "core/json/reader.hpp"

namespace vorn::json {

// The kinds of the containers open in a walk, one bit each (set for an object). The first 64
// levels need no allocation; deeper ones spill to a vector.
class OpenKinds {
public:
    bool empty() const { return depth_ == 0; }
    std::size_t size() const { return depth_; }
    void push(bool is_object) {
        std::size_t word = depth_ / 64;
        std::uint64_t bit = std::uint64_t{1} << (depth_ % 64);
        if (word == 0) {
            first_ = is_object ? (first_ | bit) : (first_ & ~bit);
        } else {
            if (more_.size() < word) more_.push_back(0);
            std::uint64_t& w = more_[word - 1];
            w = is_object ? (w | bit) : (w & ~bit);
        }
        ++depth_;
    }
    void pop() { --depth_; }
    bool top_is_object() const {
        std::size_t at = depth_ - 1;
        std::uint64_t w = at < 64 ? first_ : more_[at / 64 - 1];
        return (w >> (at % 64)) & 1;
    }

private:
    std::size_t depth_ = 0;
    std::uint64_t first_ = 0;
    std::vector<std::uint64_t> more_;
};

// Walks the value due at the cursor (white space allowed before it). With `open_before`, that many
// containers are open around it and opening one at kMaxDepth fails with "recursion limit
// exceeded" just after its bracket; without, any depth is accepted.
template <class Visitor>
bool walk_value(Cursor& cursor, Visitor& visitor, std::optional<std::size_t> open_before) {
    std::string_view key;
    for (;;) {
        // A value is due at the cursor.
        int c = cursor.peek();
        if (visitor.skips(visitor.open_count())) {
            const std::size_t depth = open_before.value_or(0) + visitor.open_count();
            if (!(open_before ? cursor.skip_value(static_cast<int>(depth)) : cursor.skip_value())) return false;
        } else if (c == '[' || c == '{') {
            cursor.bump();
            if (open_before && *open_before + visitor.open_count() >= static_cast<std::size_t>(kMaxDepth)) {
                return cursor.fail(message::kRecursionLimitExceeded, cursor.offset());
            }
            const bool is_object = c == '{';
            Cursor::Step step = is_object ? cursor.object_next(true, key, visitor.scratch()) : cursor.array_next(true);
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::Item) {
                visitor.open(is_object);
                if (is_object) visitor.key(key);
                continue;
            }
            visitor.empty(is_object);
        } else if (!visitor.scalar(c)) {
            return false;
        }

        // A value is complete: step on in its container, closing the containers that end.
        for (;;) {
            if (visitor.open_count() == 0) return true;
            const bool is_object = visitor.innermost_is_object();
            Cursor::Step step = is_object ? cursor.object_next(false, key, visitor.scratch()) : cursor.array_next(false);
            if (step == Cursor::Step::Item) {
                if (is_object) visitor.key(key);
                break;
            }
            if (step == Cursor::Step::Failed) return false;
            visitor.close(is_object);
        }
    }
}

}  // namespace vorn::json
