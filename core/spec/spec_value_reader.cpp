// The "set_spec" path: a spec read from the command's value tree. Objects are visited in ascending
// key order (the tree keeps one member per key), so repeats cannot occur and the failing member
// whose key sorts first is the one reported. No failure carries a position.
#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "core/spec/read_spec.hpp"
#include "core/spec/record_rules.hpp"

namespace vorn {
namespace {

using json::Kind;
using json::Value;
using namespace spec_rules;

Result<VornPanel> panel_from_object(const Value& object) {
    // The tag is read when its member is met; parameters only once the object has ended, so a bad
    // tag wins over a bad parameter whatever their order.
    std::optional<json::Value> tag_value = object.find(kKindKey);
    if (!tag_value) return missing_field(kKindKey);
    Result<PanelKind> kind = read_panel_tag(*tag_value);
    if (!kind) return std::move(kind).error();

    PanelBuilder builder(*kind);
    for (const json::Member& member : object.as_object()) {
        std::optional<PanelParam> param = panel_param_named(member.key);
        if (!param) continue;
        if (Result<void> applied = builder.apply_member(*param, member.value); !applied) return std::move(applied).error();
    }
    return builder.finish();
}

Result<VornPanel> panel_from_array(const Value& array) {
    json::ArrayView elements = array.as_array();
    if (elements.empty()) return missing_field(kKindKey);
    Result<PanelKind> kind = read_panel_tag(elements[0]);
    if (!kind) return std::move(kind).error();

    PanelBuilder builder(*kind);
    std::size_t given = elements.size() - 1;
    std::size_t read = std::min(given, builder.param_count());
    for (std::size_t i = 0; i < read; ++i) {
        if (Result<void> applied = builder.apply_positional(i, elements[i + 1]); !applied) return std::move(applied).error();
    }
    if (given > builder.param_count()) return builder.too_many_positional(given);
    return builder.finish();
}

Result<VornPanel> panel_from_value(const Value& value) {
    switch (value.kind()) {
        case Kind::Object: return panel_from_object(value);
        case Kind::Array: return panel_from_array(value);
        default: return panel_not_a_struct(value);
    }
}

Result<std::vector<VornPanel>> panels_from_value(const Value& value) {
    if (value.kind() != Kind::Array) return panels_not_a_sequence(value);
    json::ArrayView elements = value.as_array();
    std::vector<VornPanel> panels;
    panels.reserve(elements.size());
    for (const Value& element : elements) {
        Result<VornPanel> panel = panel_from_value(element);
        if (!panel) return std::move(panel).error();
        panels.push_back(std::move(panel).value());
    }
    return panels;
}

Result<void> set_field(SpecBuilder& builder, SpecField field, const Value& value) {
    if (field != SpecField::Panels) return builder.set_scalar(field, value);
    Result<std::vector<VornPanel>> panels = panels_from_value(value);
    if (!panels) return std::move(panels).error();
    builder.set_panels(std::move(panels).value());
    return Result<void>::success();
}

Result<VornSpec> spec_from_object(const Value& object) {
    SpecBuilder builder;
    for (const json::Member& member : object.as_object()) {
        std::optional<SpecField> field = spec_field_named(member.key);
        if (!field) continue;
        if (Result<void> set = set_field(builder, *field, member.value); !set) return std::move(set).error();
    }
    return std::move(builder).finish();
}

Result<VornSpec> spec_from_array(const Value& array) {
    json::ArrayView elements = array.as_array();
    SpecBuilder builder;
    std::size_t read = std::min(elements.size(), kSpecFieldCount);
    for (std::size_t i = 0; i < read; ++i) {
        if (Result<void> set = set_field(builder, static_cast<SpecField>(i), elements[i]); !set) return std::move(set).error();
    }
    if (elements.size() < kSpecFieldCount) return positional_spec_too_short(elements.size());
    if (elements.size() > kSpecFieldCount) {
        return VornError::parse("invalid length " + std::to_string(elements.size()) + ", expected fewer elements in array");
    }
    return std::move(builder).finish();
}

}  // namespace

Result<VornSpec> spec_from_value(const Value& value) {
    switch (value.kind()) {
        case Kind::Object: return spec_from_object(value);
        case Kind::Array: return spec_from_array(value);
        default: return spec_not_a_struct(value);
    }
}

}  // namespace vorn
