#pragma once
// A read JSON value with the arena that holds its nodes.
#include "core/json/arena.hpp"
#include "core/json/node.hpp"
#include "core/json/value.hpp"

namespace vorn::json {

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
