#pragma once
// The rules that turn found JSON values into the fields of a VornSpec and its panels, shared by the
// text reader (constructor) and the value-tree reader ("set_spec"). The readers decide the order
// in which members arrive and where a failure is placed; everything about what a value means, and
// the text of each failure, lives here.
//
// A "found value" is a json::Value. Scalars carry their content; for an array or an object only
// the kind matters (a type failure names it "sequence" or "map"), so the text reader passes an
// empty array or object.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/value.hpp"
#include "core/result.hpp"
#include "core/spec/panel_kinds.hpp"
#include "core/spec/spec.hpp"

namespace vorn::spec_rules {

// The members of a spec, in declared order (also the order of the positional form).
enum class SpecField : std::uint8_t { DatasetRef, Symbol, FromTs, ToTs, Panels };
inline constexpr std::size_t kSpecFieldCount = 5;

std::optional<SpecField> spec_field_named(std::string_view key);
std::string_view spec_field_name(SpecField field);

std::optional<PanelParam> panel_param_named(std::string_view key);
std::string_view panel_param_name(PanelParam param);

// The key that carries a panel's tag.
inline constexpr std::string_view kKindKey = "kind";

// Failure texts.
VornError missing_field(std::string_view key);
VornError duplicate_field(std::string_view key);
VornError invalid_type(const json::Value& found, std::string_view expected);

// The type failures of the two record levels, for values that are neither an object nor an array.
VornError spec_not_a_struct(const json::Value& found);
VornError panel_not_a_struct(const json::Value& found);
// "panels" holding something other than an array.
VornError panels_not_a_sequence(const json::Value& found);

// The value of "kind" (or the first element of a positional panel).
Result<PanelKind> read_panel_tag(const json::Value& found);

// A positional spec that ended after `count` elements (count < 5).
VornError positional_spec_too_short(std::size_t count);

// Collects the scalar members of a spec and notices repeats and absences. The panel list is read
// by the caller (its elements need the reader's own walk) and handed over whole.
class SpecBuilder {
public:
    // True when `field` was met before: a repeat is "duplicate field" on the text path.
    bool seen(SpecField field) const { return (seen_ & bit(field)) != 0; }
    void mark_seen(SpecField field) { seen_ |= bit(field); }

    // Reads the value of "dataset_ref", "symbol", "from_ts" or "to_ts" and marks the field seen.
    Result<void> set_scalar(SpecField field, const json::Value& found);
    void set_panels(std::vector<VornPanel> panels);

    // The first missing required member (dataset_ref, symbol, panels), or the spec.
    Result<VornSpec> finish() &&;

private:
    static std::uint8_t bit(SpecField field) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(field)); }

    VornSpec spec_;
    std::uint8_t seen_ = 0;
};

// Reads the parameters of one panel whose kind is known; absent ones keep their defaults.
class PanelBuilder {
public:
    explicit PanelBuilder(PanelKind kind);

    // A member of an object panel. Parameters of other kinds are ignored; a parameter of this
    // kind met twice is "duplicate field".
    Result<void> apply_member(PanelParam param, const json::Value& found);

    // The number of parameters the kind has, which is also the longest positional form.
    std::size_t param_count() const;
    // Element `index` (0-based, after the tag) of a positional panel; index < param_count().
    Result<void> apply_positional(std::size_t index, const json::Value& found);
    // A positional panel holding `given` parameters when at most param_count() are allowed.
    VornError too_many_positional(std::size_t given) const;

    VornPanel finish() const { return panel_; }

private:
    Result<void> set(PanelParam param, const json::Value& found);

    VornPanel panel_;
    std::uint8_t seen_ = 0;
};

}  // namespace vorn::spec_rules
