#pragma once
// Storing values as nodes in an arena; each function throws std::bad_alloc when the arena cannot
// grow.
#include <cstddef>
#include <span>
#include <string_view>

#include "core/json/arena.hpp"
#include "core/json/node.hpp"
#include "core/json/value.hpp"

namespace vorn::json {

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

}  // namespace vorn::json
