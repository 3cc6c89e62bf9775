#include "core/json/reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/json/cursor.hpp"

namespace vorn::json {
namespace {

// One open array or object. Its children so far sit on the reader's element or member stack
// from `start` on; `key` is the key of the member whose value is being read (objects only).
struct OpenContainer {
    bool is_object;
    std::uint32_t start;
    std::string_view key;
};

// A member read but not yet stored: its key's bytes (in the text, or in the arena once unescaped)
// and its value.
struct PendingMember {
    std::string_view key;
    Node value;
};

class TreeBuilder {
public:
    TreeBuilder(std::string_view text, Document& document) : cursor_(text), text_(text), arena_(document.arena()) {}

    bool read(Node& root);
    VornError error() const { return cursor_.error(); }

private:
    std::string_view keep_key(std::string_view key);
    Node key_node(std::string_view key) const;
    bool read_string_value(Node& out);
    bool read_number_value(Node& out) {
        Value number;
        if (!cursor_.read_number(number)) return false;
        out = store_value(number, arena_);
        return true;
    }
    // Where the next value goes: the root, or a new last child of the innermost open container.
    // Scalars are read straight into this slot, so no value is copied after it is read.
    Node& slot(Node& root) {
        if (open_.empty()) return root;
        const OpenContainer& top = open_.back();
        if (top.is_object) return members_.emplace_back(PendingMember{top.key, Node()}).value;
        return elements_.emplace_back();
    }
    Node close_array(const OpenContainer& open);
    Node close_object(const OpenContainer& open);

    Cursor cursor_;
    std::string_view text_;
    Arena& arena_;
    std::string scratch_;
    std::vector<OpenContainer> open_;
    std::vector<Node> elements_;
    std::vector<PendingMember> members_;
    std::vector<MemberNode> stored_;
};

// A key that was unescaped into the scratch buffer is copied to the arena; one that points into
// the text stays there.
std::string_view TreeBuilder::keep_key(std::string_view key) {
    // A string with escapes is the whole scratch buffer once resolved, and never empty.
    if (key.empty() || key.data() != scratch_.data()) return key;
    std::string_view copy;
    copy_string(key, arena_, &copy);
    return copy;
}

// The node of a kept key: in place in the text, or the arena copy made by keep_key (whose count
// sits just before its bytes).
Node TreeBuilder::key_node(std::string_view key) const {
    if (key.data() >= text_.data() && key.data() < text_.data() + text_.size()) {
        return Node::address(Node::kTextString, key.data());
    }
    return Node::address(Node::kArenaString, reinterpret_cast<const std::uint64_t*>(key.data()) - 1);
}

Node TreeBuilder::close_array(const OpenContainer& open) {
    Node out = store_array(std::span<const Node>(elements_.data() + open.start, elements_.size() - open.start), arena_);
    elements_.resize(open.start);
    return out;
}

// Sorts the members by key bytes (stably, so repeated keys keep their text order), keeps the
// last of each run of equal keys and stores the result in the arena.
Node TreeBuilder::close_object(const OpenContainer& open) {
    auto first = members_.begin() + open.start;
    auto last = members_.end();
    std::size_t count = static_cast<std::size_t>(last - first);
    auto less = [](const PendingMember& a, const PendingMember& b) { return a.key < b.key; };
    if (count > 1 && !std::is_sorted(first, last, less)) {
        if (count <= 16) {
            for (auto it = first + 1; it != last; ++it) {
                PendingMember moving = *it;
                auto hole = it;
                while (hole != first && moving.key < (hole - 1)->key) {
                    *hole = *(hole - 1);
                    --hole;
                }
                *hole = moving;
            }
        } else {
            std::stable_sort(first, last, less);
        }
    }
    // Keep the last member of each run of equal keys.
    stored_.clear();
    for (auto it = first; it != last; ++it) {
        if (it + 1 != last && (it + 1)->key == it->key) continue;
        stored_.push_back(MemberNode{key_node(it->key), it->value});
    }
    members_.resize(open.start);
    return store_object(stored_, arena_);
}

bool TreeBuilder::read_string_value(Node& out) {
    std::string_view s;
    if (!cursor_.read_string(s, scratch_)) return false;
    out = store_string(s, text_, arena_);
    return true;
}

bool TreeBuilder::read(Node& root) {
    int depth = 0;
    std::string_view key;
    for (;;) {
        // A value is due at the cursor (its first byte is present).
        int c = cursor_.peek();
        Cursor::Step step;
        if (c == '[' || c == '{') {
            if (!cursor_.enter(depth)) return false;
            bool is_object = c == '{';
            open_.push_back({is_object, static_cast<std::uint32_t>(is_object ? members_.size() : elements_.size()), {}});
            if (is_object) {
                step = cursor_.object_next(true, key, scratch_);
                if (step == Cursor::Step::Item) {
                    open_.back().key = keep_key(key);
                    continue;
                }
            } else {
                step = cursor_.array_next(true);
                if (step == Cursor::Step::Item) continue;
            }
            if (step == Cursor::Step::Failed) return false;
            // An empty container closes at once.
            open_.pop_back();
            Cursor::leave(depth);
            slot(root) = Node::tagged(is_object ? Node::kObject : Node::kArray, 0);
        } else if (c == '"') {
            if (!read_string_value(slot(root))) return false;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            if (!read_number_value(slot(root))) return false;
        } else {
            Value literal;
            if (!cursor_.read_scalar(literal, scratch_)) return false;
            slot(root) = store_value(literal, arena_);
        }

        // A value is complete: step on in its container, closing the containers that end.
        for (;;) {
            if (open_.empty()) return cursor_.expect_end();
            OpenContainer& top = open_.back();
            if (top.is_object) {
                step = cursor_.object_next(false, key, scratch_);
                if (step == Cursor::Step::Item) {
                    top.key = keep_key(key);
                    break;
                }
            } else {
                step = cursor_.array_next(false);
                if (step == Cursor::Step::Item) break;
            }
            if (step == Cursor::Step::Failed) return false;
            Node closed = top.is_object ? close_object(top) : close_array(top);
            open_.pop_back();
            Cursor::leave(depth);
            slot(root) = closed;
        }
    }
}

}  // namespace

Result<Document> read_document(std::string_view text) {
    Document document;
    TreeBuilder builder(text, document);
    Node root;
    if (!builder.read(root)) return builder.error();
    document.set_root(root);
    return document;
}

}  // namespace vorn::json
