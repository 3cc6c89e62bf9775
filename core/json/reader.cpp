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
    std::size_t start;
    std::string_view key;
};

// A member read but not yet stored: its key's bytes (in the text, or in the arena once unescaped)
// and its value.
struct PendingMember {
    std::string_view key;
    Node value;
};

// How the members of an object with a given key sequence (in text order) are stored: its shape and,
// for each member in text order, its slot in the shape or -1 when a later repeat of its key wins.
// Records of one list repeat their keys in the same order, so most objects find their layout here
// and are neither sorted nor given a shape of their own.
struct ObjectLayout {
    std::vector<std::string_view> text_keys;
    std::vector<std::ptrdiff_t> slots;
    const Shape* shape = nullptr;
};

class LayoutCache {
public:
    // Objects with more members are laid out one by one.
    static constexpr std::size_t kMaxMembers = 64;

    // The layout cached for these keys, or nullptr.
    const ObjectLayout* find(std::span<const PendingMember> members, std::size_t& hash) const {
        hash = hash_keys(members);
        const ObjectLayout& entry = entries_[hash % kEntries];
        if (entry.shape == nullptr || entry.text_keys.size() != members.size()) return nullptr;
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (entry.text_keys[i] != members[i].key) return nullptr;
        }
        return &entry;
    }
    ObjectLayout& slot(std::size_t hash) { return entries_[hash % kEntries]; }

private:
    static constexpr std::size_t kEntries = 64;
    static std::size_t hash_keys(std::span<const PendingMember> members) {
        std::uint64_t h = 0xcbf29ce484222325u ^ members.size();
        for (const PendingMember& m : members) {
            for (char c : m.key) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
            h = (h ^ 0xff) * 0x100000001b3u;
        }
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
    ObjectLayout entries_[kEntries];
};

class TreeBuilder {
public:
    TreeBuilder(std::string_view text, Document& document) : cursor_(text), text_(text), arena_(document.arena()) {}

    bool read(Node& root);
    VornError error() const { return cursor_.error(); }

private:
    std::string_view keep_key(std::string_view key);
    void lay_out(std::span<const PendingMember> members, ObjectLayout& layout);
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
    std::vector<Node> values_;
    std::vector<std::size_t> order_;
    LayoutCache layouts_;
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

Node TreeBuilder::close_array(const OpenContainer& open) {
    Node out = store_array(std::span<const Node>(elements_.data() + open.start, elements_.size() - open.start), arena_);
    elements_.resize(open.start);
    return out;
}

// Sorts the members by key bytes (stably, so repeated keys keep their text order), keeps the
// last of each run of equal keys and records the result as a new shape and the members' slots.
void TreeBuilder::lay_out(std::span<const PendingMember> members, ObjectLayout& layout) {
    std::size_t count = members.size();
    order_.resize(count);
    for (std::size_t i = 0; i < count; ++i) order_[i] = i;
    auto less = [members](std::size_t a, std::size_t b) { return members[a].key < members[b].key; };
    if (count <= 16) {
        for (std::size_t i = 1; i < count; ++i) {
            std::size_t moving = order_[i];
            std::size_t hole = i;
            while (hole != 0 && less(moving, order_[hole - 1])) {
                order_[hole] = order_[hole - 1];
                --hole;
            }
            order_[hole] = moving;
        }
    } else {
        std::stable_sort(order_.begin(), order_.end(), less);
    }
    layout.text_keys.clear();
    for (const PendingMember& m : members) layout.text_keys.push_back(m.key);
    layout.slots.assign(count, -1);
    std::vector<std::string_view> keys;
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t member = order_[i];
        // Keep the last member of each run of equal keys.
        if (i + 1 != count && members[order_[i + 1]].key == members[member].key) continue;
        layout.slots[member] = static_cast<std::ptrdiff_t>(keys.size());
        keys.push_back(members[member].key);
    }
    layout.shape = store_shape(keys, arena_);
}

Node TreeBuilder::close_object(const OpenContainer& open) {
    std::span<const PendingMember> members(members_.data() + open.start, members_.size() - open.start);
    std::size_t hash = 0;
    const ObjectLayout* layout = members.size() <= LayoutCache::kMaxMembers ? layouts_.find(members, hash) : nullptr;
    ObjectLayout single;
    if (layout == nullptr) {
        ObjectLayout& fresh = members.size() <= LayoutCache::kMaxMembers ? layouts_.slot(hash) : single;
        lay_out(members, fresh);
        layout = &fresh;
    }
    values_.resize(layout->shape->count);
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (layout->slots[i] >= 0) values_[static_cast<std::size_t>(layout->slots[i])] = members[i].value;
    }
    Node out = store_object(layout->shape, values_, arena_);
    members_.resize(open.start);
    return out;
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
            open_.push_back({is_object, is_object ? members_.size() : elements_.size(), {}});
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
