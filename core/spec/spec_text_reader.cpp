// The construction path: the spec text read in one pass straight into a VornSpec, members in
// document order, every failure placed in the (trimmed) text.
//
// Where a failure is placed follows from when it is found:
// - syntax and depth failures where the cursor finds them;
// - a wrong scalar just after it, a wrong array or object just before its bracket;
// - a repeated key just after the key and the white space that follows it;
// - a missing member just after the closing brace or bracket of its record;
// - a panel's parameters are read only once the panel has ended, and their failures are placed
//   where the panel list stands after checking for its end (past a "]", or past a "," and the
//   white space after it).
#include <array>
#include <string>
#include <vector>

#include "core/json/cursor.hpp"
#include "core/spec/read_spec.hpp"
#include "core/spec/record_rules.hpp"
#include "core/spec/trim_unicode_space.hpp"

namespace vorn {
namespace {

using json::Cursor;
using json::Value;
using namespace spec_rules;

constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);

// A panel member kept until the panel has ended. Strings are copied: the value the type failure
// describes must outlive the cursor's scratch buffer.
struct HeldValue {
    json::Kind kind = json::Kind::Null;
    Value scalar;       // for every kind but String, Array and Object
    std::string text;   // for String
    PanelParam param = PanelParam::PriceBin;  // object panels only

    Value value() const {
        switch (kind) {
            case json::Kind::String: return Value::string(text.data(), text.size());
            case json::Kind::Array: return Value::array(nullptr, 0);
            case json::Kind::Object: return Value::object(nullptr);
            default: return scalar;
        }
    }
};

class SpecTextReader {
public:
    explicit SpecTextReader(std::string_view text) : cursor_(text) {}

    Result<VornSpec> read() {
        Result<VornSpec> spec = read_spec();
        if (!spec) return spec;
        if (!cursor_.expect_end()) return cursor_.error();
        return spec;
    }

private:
    VornError syntax() const { return cursor_.error(); }
    VornError here(VornError error) const { return cursor_.error_at(error.message, cursor_.offset()); }
    VornError at(VornError error, std::size_t offset) const { return cursor_.error_at(error.message, offset); }

    // Just after a key and the JSON white space that follows it.
    std::size_t after_key(std::size_t key_end) const {
        std::string_view text = cursor_.text();
        while (key_end < text.size() && Cursor::is_whitespace(static_cast<unsigned char>(text[key_end]))) ++key_end;
        return key_end;
    }

    // The value due at the cursor as a found value, for a field that takes only scalars: an array
    // or object is reported before its bracket without being read.
    bool found_value(Value& out, std::size_t& failure_point) {
        int c = cursor_.peek();
        if (c == '[' || c == '{') {
            out = c == '[' ? Value::array(nullptr, 0) : Value::object(nullptr);
            failure_point = cursor_.offset();
            return true;
        }
        if (!cursor_.read_scalar(out, value_scratch_)) return false;
        failure_point = cursor_.offset();
        return true;
    }

    Result<VornSpec> read_spec() {
        int c = cursor_.peek();
        if (c == '{') {
            if (!cursor_.enter(depth_)) return syntax();
            return read_spec_object();
        }
        if (c == '[') {
            if (!cursor_.enter(depth_)) return syntax();
            return read_spec_array();
        }
        Value found;
        if (!cursor_.read_scalar(found, value_scratch_)) return syntax();
        return here(spec_not_a_struct(found));
    }

    Result<VornSpec> read_spec_object() {
        SpecBuilder builder;
        std::string_view key;
        for (bool first = true;; first = false) {
            std::size_t key_end = kNoKey;
            Cursor::Step step = cursor_.object_next(first, key, key_scratch_, key_end);
            std::optional<SpecField> field;
            if (key_end != kNoKey) field = spec_field_named(key);
            // A repeated member is reported as soon as its key is read, before its colon.
            if (field && builder.seen(*field)) return at(duplicate_field(spec_field_name(*field)), after_key(key_end));
            if (step == Cursor::Step::Failed) return syntax();
            if (step == Cursor::Step::End) break;
            if (!field) {
                // Unknown members may nest to any depth: checked, not counted.
                if (!cursor_.skip_value()) return syntax();
                continue;
            }
            if (Result<void> read = read_field(builder, *field); !read) return std::move(read).error();
        }
        cursor_.leave(depth_);
        Result<VornSpec> spec = std::move(builder).finish();
        if (!spec) return here(std::move(spec).error());
        return spec;
    }

    Result<VornSpec> read_spec_array() {
        SpecBuilder builder;
        std::size_t count = 0;
        for (;; ++count) {
            Cursor::Step step = cursor_.array_next(count == 0);
            if (step == Cursor::Step::Failed) return syntax();
            if (step == Cursor::Step::End) break;
            Result<void> read = read_field(builder, static_cast<SpecField>(count));
            if (!read) return std::move(read).error();
            if (count + 1 == kSpecFieldCount) return finish_full_spec_array(std::move(builder));
        }
        cursor_.leave(depth_);
        return here(positional_spec_too_short(count));
    }

    // After the fifth element the list must close: a further element is "trailing characters".
    Result<VornSpec> finish_full_spec_array(SpecBuilder builder) {
        int c = cursor_.peek();
        std::size_t pos = cursor_.offset();
        if (c == ']') {
            cursor_.bump();
            cursor_.leave(depth_);
            return std::move(builder).finish();
        }
        if (c == Cursor::kEnd) return cursor_.error_at(json::message::kEofList, pos);
        if (c == ',') {
            cursor_.bump();
            c = cursor_.peek();
            pos = cursor_.offset();
            if (c == ']') return cursor_.error_at(json::message::kTrailingComma, pos + 1);
        }
        return cursor_.error_at(json::message::kTrailingCharacters, c == Cursor::kEnd ? pos : pos + 1);
    }

    Result<void> read_field(SpecBuilder& builder, SpecField field) {
        if (field == SpecField::Panels) {
            builder.mark_seen(SpecField::Panels);
            return read_panels(builder);
        }
        Value found;
        std::size_t point = 0;
        if (!found_value(found, point)) return syntax();
        if (Result<void> set = builder.set_scalar(field, found); !set) return at(std::move(set).error(), point);
        return Result<void>::success();
    }

    Result<void> read_panels(SpecBuilder& builder) {
        int c = cursor_.peek();
        if (c != '[') {
            Value found;
            std::size_t point = 0;
            if (!found_value(found, point)) return syntax();
            return at(panels_not_a_sequence(found), point);
        }
        if (!cursor_.enter(depth_)) return syntax();
        std::vector<VornPanel> panels;
        for (bool first = true;; first = false) {
            Cursor::Step step = cursor_.array_next(first);
            if (step == Cursor::Step::Failed) return syntax();
            if (step == Cursor::Step::End) break;
            Result<PanelKind> kind = read_panel_members();
            if (!kind) return std::move(kind).error();
            Result<VornPanel> panel = build_held_panel(*kind);
            if (!panel) return at(std::move(panel).error(), offset_after_list_check());
            panels.push_back(std::move(panel).value());
        }
        cursor_.leave(depth_);
        builder.set_panels(std::move(panels));
        return Result<void>::success();
    }

    // Where the panel list stands once it has looked for its end after an element: past a "]",
    // or past a "," and the white space after it; anything else is left unread.
    std::size_t offset_after_list_check() {
        int c = cursor_.peek();
        if (c == ']') {
            cursor_.bump();
        } else if (c == ',') {
            cursor_.bump();
            cursor_.skip_whitespace();
        }
        return cursor_.offset();
    }

    // Reads one panel element up to its end: the tag is read as it is met, the parameters are
    // held (held_, positional_) for build_held_panel.
    Result<PanelKind> read_panel_members() {
        held_count_ = 0;
        positional_ = false;
        int c = cursor_.peek();
        if (c == '{') {
            if (!cursor_.enter(depth_)) return syntax();
            return read_panel_object();
        }
        if (c == '[') {
            if (!cursor_.enter(depth_)) return syntax();
            return read_panel_array();
        }
        Value found;
        if (!cursor_.read_scalar(found, value_scratch_)) return syntax();
        return here(panel_not_a_struct(found));
    }

    Result<PanelKind> read_tag() {
        Value found;
        std::size_t point = 0;
        if (!found_value(found, point)) return syntax();
        Result<PanelKind> kind = read_panel_tag(found);
        if (!kind) return at(std::move(kind).error(), point);
        return kind;
    }

    Result<PanelKind> read_panel_object() {
        std::optional<PanelKind> kind;
        std::string_view key;
        for (bool first = true;; first = false) {
            std::size_t key_end = kNoKey;
            Cursor::Step step = cursor_.object_next(first, key, key_scratch_, key_end);
            bool is_kind = key_end != kNoKey && key == kKindKey;
            if (is_kind && kind) return at(duplicate_field(kKindKey), after_key(key_end));
            if (step == Cursor::Step::Failed) return syntax();
            if (step == Cursor::Step::End) break;
            if (is_kind) {
                Result<PanelKind> tag = read_tag();
                if (!tag) return tag;
                kind = *tag;
                continue;
            }
            std::optional<PanelParam> param = panel_param_named(key);
            if (Result<void> held = hold_value(param); !held) return std::move(held).error();
        }
        cursor_.leave(depth_);
        if (!kind) return here(missing_field(kKindKey));
        return *kind;
    }

    Result<PanelKind> read_panel_array() {
        Cursor::Step step = cursor_.array_next(true);
        if (step == Cursor::Step::Failed) return syntax();
        if (step == Cursor::Step::End) {
            cursor_.leave(depth_);
            return here(missing_field(kKindKey));
        }
        Result<PanelKind> kind = read_tag();
        if (!kind) return kind;
        positional_ = true;
        positional_given_ = 0;
        positional_limit_ = PanelBuilder(*kind).param_count();
        for (;;) {
            step = cursor_.array_next(false);
            if (step == Cursor::Step::Failed) return syntax();
            if (step == Cursor::Step::End) break;
            if (Result<void> held = hold_value(std::nullopt); !held) return std::move(held).error();
        }
        cursor_.leave(depth_);
        return kind;
    }

    // Reads the member value or positional element due at the cursor, counting its nesting, and
    // keeps it when it can matter. Object panels keep at most two members per parameter name: the
    // second is a repeat, and reading stops there for a kind that has the parameter.
    Result<void> hold_value(std::optional<PanelParam> param) {
        bool keep;
        if (positional_) {
            keep = positional_given_ < positional_limit_;
            ++positional_given_;
        } else {
            keep = param.has_value() && occurrences(*param) < 2;
        }
        int c = cursor_.peek();
        HeldValue* slot = keep ? &held_[held_count_] : nullptr;
        if (c == '[' || c == '{') {
            if (!cursor_.skip_value(depth_)) return syntax();
            if (slot) slot->kind = c == '[' ? json::Kind::Array : json::Kind::Object;
        } else {
            Value found;
            if (!cursor_.read_scalar(found, value_scratch_)) return syntax();
            if (slot) {
                slot->kind = found.kind();
                if (found.kind() == json::Kind::String) {
                    slot->text.assign(found.as_string());
                } else {
                    slot->scalar = found;
                }
            }
        }
        if (slot) {
            if (param) slot->param = *param;
            ++held_count_;
        }
        return Result<void>::success();
    }

    std::size_t occurrences(PanelParam param) const {
        std::size_t n = 0;
        for (std::size_t i = 0; i < held_count_; ++i) n += held_[i].param == param;
        return n;
    }

    // The held parameters read as the tagged kind's, in the order they were met.
    Result<VornPanel> build_held_panel(PanelKind kind) const {
        PanelBuilder builder(kind);
        for (std::size_t i = 0; i < held_count_; ++i) {
            Result<void> applied = positional_ ? builder.apply_positional(i, held_[i].value())
                                               : builder.apply_member(held_[i].param, held_[i].value());
            if (!applied) return std::move(applied).error();
        }
        if (positional_ && positional_given_ > positional_limit_) return builder.too_many_positional(positional_given_);
        return builder.finish();
    }

    Cursor cursor_;
    int depth_ = 0;
    std::string key_scratch_;
    std::string value_scratch_;

    // The current panel's kept parameters: two per parameter name, or one per positional slot.
    static constexpr std::size_t kMaxHeld = 6;
    std::array<HeldValue, kMaxHeld> held_;
    std::size_t held_count_ = 0;
    bool positional_ = false;
    std::size_t positional_given_ = 0;
    std::size_t positional_limit_ = 0;
};

}  // namespace

Result<std::optional<VornSpec>> parse_spec_text(std::string_view text) {
    std::string_view trimmed = trim_unicode_space(text);
    if (trimmed.empty() || trimmed == "{}") return std::optional<VornSpec>();
    Result<VornSpec> spec = SpecTextReader(trimmed).read();
    if (!spec) return std::move(spec).error();
    return std::optional<VornSpec>(std::move(spec).value());
}

}  // namespace vorn
