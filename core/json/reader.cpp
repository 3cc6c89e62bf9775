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

class TreeBuilder {
public:
    TreeBuilder(std::string_view text, Document& document) : cursor_(text), arena_(document.arena()) {}

    bool read(Value& root);
    VornError error() const { return cursor_.error(); }

private:
    std::string_view keep(std::string_view s);
    bool read_string_value(Value& out);
    // Where the next value goes: the root, or a new last child of the innermost open container.
    // Scalars are read straight into this slot, so no value is copied after it is read.
    Value& slot(Value& root) {
        if (open_.empty()) return root;
        const OpenContainer& top = open_.back();
        if (top.is_object) return members_.emplace_back(Member{top.key, Value()}).value;
        return elements_.emplace_back();
    }
    Value close_array(const OpenContainer& open);
    Value close_object(const OpenContainer& open);

    Cursor cursor_;
    Arena& arena_;
    std::string scratch_;
    std::vector<OpenContainer> open_;
    std::vector<Value> elements_;
    std::vector<Member> members_;
};

// A string that was unescaped into the scratch buffer is copied to the arena; one that points
// into the text stays there.
std::string_view TreeBuilder::keep(std::string_view s) {
    // A string with escapes is the whole scratch buffer once resolved, and never empty.
    if (s.empty() || s.data() != scratch_.data()) return s;
    char* copy = arena_.allocate_array<char>(s.size());
    std::memcpy(copy, s.data(), s.size());
    return {copy, s.size()};
}

Value TreeBuilder::close_array(const OpenContainer& open) {
    std::size_t count = elements_.size() - open.start;
    Value* out = nullptr;
    if (count != 0) {
        out = arena_.allocate_array<Value>(count);
        std::copy(elements_.begin() + open.start, elements_.end(), out);
    }
    elements_.resize(open.start);
    return Value::array(out, static_cast<std::uint32_t>(count));
}

// Sorts the members by key bytes (stably, so repeated keys keep their text order), keeps the
// last of each run of equal keys and moves the result to the arena.
Value TreeBuilder::close_object(const OpenContainer& open) {
    auto first = members_.begin() + open.start;
    auto last = members_.end();
    std::size_t count = static_cast<std::size_t>(last - first);
    auto less = [](const Member& a, const Member& b) { return a.key < b.key; };
    if (count > 1 && !std::is_sorted(first, last, less)) {
        if (count <= 16) {
            for (auto it = first + 1; it != last; ++it) {
                Member moving = *it;
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
    auto write = first;
    for (auto it = first; it != last; ++it) {
        if (it + 1 != last && (it + 1)->key == it->key) continue;
        *write++ = *it;
    }
    count = static_cast<std::size_t>(write - first);
    Member* out = nullptr;
    if (count != 0) {
        out = arena_.allocate_array<Member>(count);
        std::copy(first, write, out);
    }
    members_.resize(open.start);
    return Value::object(out, static_cast<std::uint32_t>(count));
}

bool TreeBuilder::read_string_value(Value& out) {
    std::string_view s;
    if (!cursor_.read_string(s, scratch_)) return false;
    s = keep(s);
    out = Value::string(s.data(), static_cast<std::uint32_t>(s.size()));
    return true;
}

bool TreeBuilder::read(Value& root) {
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
                    open_.back().key = keep(key);
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
            slot(root) = is_object ? Value::object(nullptr, 0) : Value::array(nullptr, 0);
        } else if (c == '"') {
            if (!read_string_value(slot(root))) return false;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            if (!cursor_.read_number(slot(root))) return false;
        } else if (!cursor_.read_scalar(slot(root), scratch_)) {
            return false;
        }

        // A value is complete: step on in its container, closing the containers that end.
        for (;;) {
            if (open_.empty()) return cursor_.expect_end();
            OpenContainer& top = open_.back();
            if (top.is_object) {
                step = cursor_.object_next(false, key, scratch_);
                if (step == Cursor::Step::Item) {
                    top.key = keep(key);
                    break;
                }
            } else {
                step = cursor_.array_next(false);
                if (step == Cursor::Step::Item) break;
            }
            if (step == Cursor::Step::Failed) return false;
            Value closed = top.is_object ? close_object(top) : close_array(top);
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
    Value root;
    if (!builder.read(root)) return builder.error();
    document.root() = root;
    return document;
}

}  // namespace vorn::json
