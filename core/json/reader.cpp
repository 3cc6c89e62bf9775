#include "core/json/reader.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/json/cursor.hpp"
#include "core/json/store.hpp"
#include "core/json/walk.hpp"

namespace vorn::json {
namespace {

// A member read but not yet stored: its key's bytes (in the text, or in the arena once unescaped)
// and its value.
struct PendingMember {
    std::string_view key;
    Node value;
};

// Memory from std::malloc or std::realloc, given back with std::free.
struct FreeBlock {
    void operator()(void* block) const noexcept { std::free(block); }
};

// The children of an array or object that outgrew the reader's shared stacks, moved to a block
// of their own that grows with std::realloc: the C library moves a large block by remapping its
// pages, so a long container never has two copies of its children resident, and the closed
// container is laid out in the same block, which the arena adopts. The block's first item is
// spare, room for what a stored array or object keeps before its children.
template <class Item>
class OwnBlock {
public:
    // Containers move to their own block once they have this many children.
    static constexpr std::size_t kAfter = 4096;

    OwnBlock() = default;
    OwnBlock(OwnBlock&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)), size_(other.size_), capacity_(other.capacity_) {}
    OwnBlock& operator=(OwnBlock&&) = delete;
    ~OwnBlock() { std::free(block_); }

    bool active() const { return block_ != nullptr; }
    Item* items() { return block_ + 1; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void shrink(std::size_t size) { size_ = size; }
    // Starts the block with the children read so far. Throws std::bad_alloc.
    void start(std::span<const Item> children) {
        grow(children.size() * 2);
        std::copy(children.begin(), children.end(), items());
        size_ = children.size();
    }
    // A new last child, once there is room. Throws std::bad_alloc.
    Item& push() {
        if (size_ == capacity_) grow(capacity_ * 2);
        return items()[size_++];
    }
    void grow(std::size_t capacity) {
        if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(Item) - 1) throw std::bad_alloc();
        void* grown = std::realloc(block_, (1 + capacity) * sizeof(Item));
        if (grown == nullptr) throw std::bad_alloc();
        block_ = static_cast<Item*>(grown);
        capacity_ = capacity;
    }
    // The block trimmed to its children, given up to the caller.
    std::unique_ptr<Item, FreeBlock> release() {
        if (void* trimmed = std::realloc(block_, (1 + size_) * sizeof(Item))) block_ = static_cast<Item*>(trimmed);
        return std::unique_ptr<Item, FreeBlock>(std::exchange(block_, nullptr));
    }

private:
    Item* block_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The children of the open containers that are still short, innermost last. A push checks one
// bound: the end of the storage or the place where the innermost container would become long,
// whichever is first. `aim` sets it whenever another container becomes the innermost.
template <class Item>
class SharedStack {
public:
    std::size_t size() const { return static_cast<std::size_t>(top_ - items_.get()); }
    std::span<const Item> from(std::size_t start) const { return {items_.get() + start, size() - start}; }
    void resize(std::size_t size) { top_ = items_.get() + size; }
    // The next item, or nullptr at the bound.
    Item* push() { return top_ == limit_ ? nullptr : top_++; }
    // Aims the bound at the innermost container, whose children start at `start`: a long one
    // (`own`) keeps none here, so every push is refused.
    void aim(std::size_t start, bool own) {
        if (own) {
            limit_ = top_;
            return;
        }
        std::size_t room = std::min(start + OwnBlock<Item>::kAfter, capacity_);
        limit_ = items_.get() + room;
    }
    // After a refused push for a short container starting at `start`: grows the storage and is
    // true, or is false when the container has become long. Throws std::bad_alloc.
    bool make_room(std::size_t start) {
        if (size() - start >= OwnBlock<Item>::kAfter) return false;
        std::size_t capacity = std::max<std::size_t>(capacity_ * 2, 1024);
        auto grown = std::make_unique_for_overwrite<Item[]>(capacity);
        std::size_t size = this->size();
        std::copy(items_.get(), top_, grown.get());
        items_ = std::move(grown);
        capacity_ = capacity;
        top_ = items_.get() + size;
        aim(start, false);
        return true;
    }

private:
    std::unique_ptr<Item[]> items_;
    Item* top_ = nullptr;
    Item* limit_ = nullptr;
    std::size_t capacity_ = 0;
};

// A long array, stored in its own block.
Node close_own_array(OwnBlock<Node>& own, Arena& arena) {
    std::size_t count = own.size();
    std::unique_ptr<Node, FreeBlock> block = own.release();
    Node out = adopt_array(block.get(), count, arena);  // the arena owns the block from here
    static_cast<void>(block.release());
    return out;
}

// Sorts the members of a long object by key, keeping the last of each repeated key. Those before
// `sorted` are already sorted and unique, so each fold sorts only the members read since.
void fold_members(OwnBlock<PendingMember>& own, std::size_t sorted) {
    auto less = [](const PendingMember& a, const PendingMember& b) { return a.key < b.key; };
    PendingMember* first = own.items();
    std::size_t size = own.size();
    // Both stable, so repeats keep their text order and the last of each run is the last read.
    std::stable_sort(first + sorted, first + size, less);
    std::inplace_merge(first, first + sorted, first + size, less);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (i + 1 != size && first[i + 1].key == first[i].key) continue;
        first[kept++] = first[i];
    }
    own.shrink(kept);
}

// A new member of a long object. When its block is full, the members are folded first, and the
// block grows only when they still fill half of it: an object that repeats its keys stays small
// however long its text is.
PendingMember& push_own_member(OwnBlock<PendingMember>& own, std::size_t& sorted) {
    if (own.size() == own.capacity()) {
        fold_members(own, sorted);
        sorted = own.size();
        if (own.size() > own.capacity() / 2) own.grow(own.capacity() * 2);
    }
    return own.push();
}

// A long object, laid out in its own block once its members are folded: the shape's count and
// sorted keys, then the body's shape address and values. That takes 16 bytes plus 24 per member,
// the block's own size, so only the values need a place of their own while the keys move down.
Node close_own_object(OwnBlock<PendingMember>& own, std::size_t sorted, Arena& arena) {
    fold_members(own, sorted);
    std::size_t count = own.size();
    auto values = std::make_unique_for_overwrite<Node[]>(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = own.items()[i].value;
    std::unique_ptr<PendingMember, FreeBlock> owned = own.release();
    auto* block = reinterpret_cast<std::byte*>(owned.get());
    static_assert(sizeof(PendingMember) == 24 && sizeof(Shape) == 8 && sizeof(std::string_view) == 16 &&
                  sizeof(ObjectBody) == 8 && sizeof(Node) == 8);
    // Member i starts at byte 24 + 24 i and its key goes to byte 8 + 16 i, at or below where the
    // member starts: moving the keys in order overwrites only members already moved.
    for (std::size_t i = 0; i < count; ++i) {
        std::memmove(block + 8 + 16 * i, block + 24 + 24 * i, sizeof(std::string_view));
    }
    std::uint64_t header = count;
    std::memcpy(block, &header, sizeof header);
    std::byte* body = block + 8 + 16 * count;
    const void* shape = block;
    std::memcpy(body, &shape, sizeof shape);
    std::memcpy(body + 8, values.get(), count * sizeof(Node));
    arena.adopt(block, 16 + 24 * count);  // the arena owns the block from here
    static_cast<void>(owned.release());
    return Node::address(Node::kObject, body);
}

// The members of a long object in their own block, the first `sorted` of them folded.
struct OwnMembers {
    OwnBlock<PendingMember> block;
    std::size_t sorted = 0;
};

// One open array or object. Its children so far sit on the reader's element or member stack
// from `start` on, or when `own` in the innermost block of its kind on the reader's stacks of
// own blocks; `key` is the key of the member whose value is being read (objects only).
struct OpenContainer {
    bool is_object;
    bool own;
    std::size_t start;
    std::string_view key;
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
    TreeBuilder(std::string_view text, Document& document, std::optional<std::span<const std::string_view>> kept_root_keys)
        : cursor_(text),
          text_(text),
          arena_(document.arena()),
          kept_root_keys_(kept_root_keys),
          filtered_depth_(kept_root_keys ? 1 : -1) {}

    bool read(Node& root);
    VornError error() const { return cursor_.error(); }

    // The walk's visitor (walk.hpp): each value read is stored in the slot it fills.
    bool skips(std::size_t open) { return static_cast<int>(open) <= filtered_depth_ && !stores_root_value(); }
    bool scalar(int c);
    void open(bool is_object) { open_container(is_object); }
    std::size_t open_count() const { return open_count_; }
    bool innermost_is_object() const { return open_.back().is_object; }
    void key(std::string_view key) { open_.back().key = keep_key(key); }
    void empty(bool is_object) { slot() = Node::tagged(is_object ? Node::kObject : Node::kArray, 0); }
    void close(bool is_object);
    std::string& scratch() { return scratch_; }

private:
    std::string_view keep_key(std::string_view key);
    void lay_out(std::span<const PendingMember> members, ObjectLayout& layout);
    bool read_string_value(Node& out);
    bool read_number_value(Node& out) { return cursor_.read_number(out, arena_); }
    // Where the next value goes: the root, or a new last child of the innermost open container.
    // Scalars are read straight into this slot, so no value is copied after it is read.
    Node& slot() {
        if (open_count_ == 0) return root_;
        OpenContainer& top = open_.back();
        if (top.is_object) {
            if (PendingMember* member = members_.push()) {
                *member = {top.key, Node()};
                return member->value;
            }
        } else if (Node* element = elements_.push()) {
            return *element;
        }
        return slot_beyond_bound(top);
    }
    // The slot of a child once the shared stack refused it: the stack grows, or the container
    // has become long and its children move to a block of their own.
    [[gnu::noinline]] Node& slot_beyond_bound(OpenContainer& top);
    void open_container(bool is_object) {
        std::size_t start = is_object ? members_.size() : elements_.size();
        open_.push_back({is_object, false, start, {}});
        ++open_count_;
        if (is_object) {
            members_.aim(start, false);
        } else {
            elements_.aim(start, false);
        }
    }
    void close_container() {
        open_.pop_back();
        --open_count_;
        if (open_.empty()) return;
        const OpenContainer& top = open_.back();
        if (top.is_object) {
            members_.aim(top.start, top.own);
        } else {
            elements_.aim(top.start, top.own);
        }
    }
    // Whether the value due at the cursor is stored: with kept root keys, only the root object
    // and the members of it that have one of them are. Asked only with kept root keys, at the
    // root or in the root object.
    bool stores_root_value() {
        if (open_.empty()) return cursor_.peek() == '{';
        return std::find(kept_root_keys_->begin(), kept_root_keys_->end(), open_.front().key) != kept_root_keys_->end();
    }
    Node close_array(OpenContainer& open);
    Node close_object(OpenContainer& open);

    Cursor cursor_;
    std::string_view text_;
    Arena& arena_;
    std::optional<std::span<const std::string_view>> kept_root_keys_;
    // With kept root keys, values at the root or in the root object (one container deep) may go
    // unstored.
    int filtered_depth_;
    std::size_t open_count_ = 0;  // open_.size(), kept as a count for the walk's every step
    Node root_;
    std::string scratch_;
    std::vector<OpenContainer> open_;
    std::vector<OwnBlock<Node>> own_elements_;
    std::vector<OwnMembers> own_members_;
    SharedStack<Node> elements_;
    SharedStack<PendingMember> members_;
    std::vector<Node> values_;
    std::vector<std::size_t> order_;
    LayoutCache layouts_;
};

Node& TreeBuilder::slot_beyond_bound(OpenContainer& top) {
    if (top.is_object) {
        if (!top.own) {
            if (members_.make_room(top.start)) {
                PendingMember* member = members_.push();
                *member = {top.key, Node()};
                return member->value;
            }
            own_members_.emplace_back().block.start(members_.from(top.start));
            members_.resize(top.start);
            top.own = true;
            members_.aim(top.start, true);
        }
        OwnMembers& own = own_members_.back();
        PendingMember& member = push_own_member(own.block, own.sorted);
        member = {top.key, Node()};
        return member.value;
    }
    if (!top.own) {
        if (elements_.make_room(top.start)) return *elements_.push();
        own_elements_.emplace_back().start(elements_.from(top.start));
        elements_.resize(top.start);
        top.own = true;
        elements_.aim(top.start, true);
    }
    return own_elements_.back().push();
}

// A key that was unescaped into the scratch buffer is copied to the arena; one that points into
// the text stays there.
std::string_view TreeBuilder::keep_key(std::string_view key) {
    // A string with escapes is the whole scratch buffer once resolved, and never empty.
    if (key.empty() || key.data() != scratch_.data()) return key;
    std::string_view copy;
    copy_string(key, arena_, &copy);
    return copy;
}

Node TreeBuilder::close_array(OpenContainer& open) {
    if (open.own) {
        Node out = close_own_array(own_elements_.back(), arena_);
        own_elements_.pop_back();
        return out;
    }
    Node out = store_array(elements_.from(open.start), arena_);
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

Node TreeBuilder::close_object(OpenContainer& open) {
    if (open.own) {
        Node out = close_own_object(own_members_.back().block, own_members_.back().sorted, arena_);
        own_members_.pop_back();
        return out;
    }
    std::span<const PendingMember> members = members_.from(open.start);
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
    if (!walk_value(cursor_, *this, std::size_t{0})) return false;
    root = root_;
    return cursor_.expect_end();
}

bool TreeBuilder::scalar(int c) {
    if (c == '"') return read_string_value(slot());
    if (c == '-' || (c >= '0' && c <= '9')) return read_number_value(slot());
    Value literal;
    if (!cursor_.read_scalar(literal, scratch_)) return false;
    slot() = store_value(literal, arena_);
    return true;
}

void TreeBuilder::close(bool is_object) {
    OpenContainer& top = open_.back();
    Node closed = is_object ? close_object(top) : close_array(top);
    close_container();
    slot() = closed;
}

Result<Document> read_tree(std::string_view text, std::optional<std::span<const std::string_view>> kept_root_keys) {
    Document document;
    TreeBuilder builder(text, document, kept_root_keys);
    Node root;
    if (!builder.read(root)) return builder.error();
    document.set_root(root);
    return document;
}

}  // namespace

Result<Document> read_document(std::string_view text) { return read_tree(text, std::nullopt); }

Result<Document> read_document(std::string_view text, std::span<const std::string_view> kept_root_keys) {
    return read_tree(text, kept_root_keys);
}

}  // namespace vorn::json
