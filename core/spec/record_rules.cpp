#include "core/spec/record_rules.hpp"

#include <array>
#include <limits>
#include <span>

#include "core/json/failure_texts.hpp"
#include "core/json/field_readers.hpp"

namespace vorn::spec_rules {
namespace {

using json::Kind;
using json::read_f64;
using json::read_i64;
using json::read_u32;
using json::Value;

constexpr std::array<std::string_view, kSpecFieldCount> kSpecFieldNames = {
    "dataset_ref", "symbol", "from_ts", "to_ts", "panels"};

std::span<const PanelParam> params_of(PanelKind kind) { return panel_kind_info(kind).params; }

Result<std::string> read_text(const Value& found) {
    if (found.kind() != Kind::String) return invalid_type(found, "a string");
    return std::string(found.as_string());
}

Result<std::optional<std::int64_t>> read_timestamp(const Value& found) {
    if (found.is_null()) return std::optional<std::int64_t>();
    Result<std::int64_t> ts = read_i64(found);
    if (!ts) return std::move(ts).error();
    return std::optional<std::int64_t>(*ts);
}


}  // namespace

std::optional<SpecField> spec_field_named(std::string_view key) {
    for (std::size_t i = 0; i < kSpecFieldNames.size(); ++i) {
        if (kSpecFieldNames[i] == key) return static_cast<SpecField>(i);
    }
    return std::nullopt;
}

std::string_view spec_field_name(SpecField field) { return kSpecFieldNames[static_cast<std::size_t>(field)]; }

std::optional<PanelParam> panel_param_named(std::string_view key) {
    for (std::size_t i = 0; i < kPanelParamNames.size(); ++i) {
        if (kPanelParamNames[i] == key) return static_cast<PanelParam>(i);
    }
    return std::nullopt;
}

std::string_view panel_param_name(PanelParam param) { return kPanelParamNames[static_cast<std::size_t>(param)]; }

VornError missing_field(std::string_view key) { return VornError::parse(json::failure_text::missing_field(key)); }

VornError duplicate_field(std::string_view key) { return VornError::parse(json::failure_text::duplicate_field(key)); }

VornError invalid_type(const Value& found, std::string_view expected) {
    return VornError::parse(json::failure_text::invalid_type(found, expected));
}

VornError spec_not_a_struct(const Value& found) { return invalid_type(found, "struct VornSpec"); }

VornError panel_not_a_struct(const Value& found) { return invalid_type(found, "internally tagged enum VornPanel"); }

VornError panels_not_a_sequence(const Value& found) { return invalid_type(found, "a sequence"); }

Result<PanelKind> read_panel_tag(const Value& found) {
    if (found.kind() != Kind::String) return invalid_type(found, "variant identifier");
    std::string_view tag = found.as_string();
    for (std::size_t i = 0; i < kPanelTags.size(); ++i) {
        if (kPanelTags[i] == tag) return static_cast<PanelKind>(i);
    }
    return VornError::parse(json::failure_text::unknown_variant(tag, kPanelTags));
}

VornError positional_spec_too_short(std::size_t count) {
    // dataset_ref and symbol are required; from_ts and to_ts would default, so a list that stops
    // anywhere after symbol is missing panels, the fifth element.
    std::size_t reported = count < 2 ? count : 4;
    std::string message = "invalid length ";
    message += std::to_string(reported);
    message += ", expected struct VornSpec with 5 elements";
    return VornError::parse(std::move(message));
}

Result<void> SpecBuilder::set_scalar(SpecField field, const Value& found) {
    mark_seen(field);
    switch (field) {
        case SpecField::DatasetRef:
        case SpecField::Symbol: {
            Result<std::string> text = read_text(found);
            if (!text) return std::move(text).error();
            (field == SpecField::DatasetRef ? spec_.dataset_ref : spec_.symbol) = std::move(text).value();
            return Result<void>::success();
        }
        case SpecField::FromTs:
        case SpecField::ToTs: {
            Result<std::optional<std::int64_t>> ts = read_timestamp(found);
            if (!ts) return std::move(ts).error();
            (field == SpecField::FromTs ? spec_.from_ts : spec_.to_ts) = *ts;
            return Result<void>::success();
        }
        case SpecField::Panels: break;
    }
    return Result<void>::success();
}

void SpecBuilder::set_panels(std::vector<VornPanel> panels) {
    mark_seen(SpecField::Panels);
    spec_.panels = std::move(panels);
}

Result<VornSpec> SpecBuilder::finish() && {
    for (SpecField required : {SpecField::DatasetRef, SpecField::Symbol, SpecField::Panels}) {
        if (!seen(required)) return missing_field(spec_field_name(required));
    }
    return std::move(spec_);
}

PanelBuilder::PanelBuilder(PanelKind kind) : panel_(default_panel(kind)) {}

std::size_t PanelBuilder::param_count() const {
    return params_of(static_cast<PanelKind>(panel_.value.index())).size();
}

Result<void> PanelBuilder::apply_member(PanelParam param, const Value& found) {
    bool belongs = false;
    for (PanelParam own : params_of(static_cast<PanelKind>(panel_.value.index()))) belongs |= own == param;
    if (!belongs) return Result<void>::success();
    std::uint8_t bit = static_cast<std::uint8_t>(1u << static_cast<unsigned>(param));
    if ((seen_ & bit) != 0) return duplicate_field(panel_param_name(param));
    seen_ |= bit;
    return set(param, found);
}

Result<void> PanelBuilder::apply_positional(std::size_t index, const Value& found) {
    return set(params_of(static_cast<PanelKind>(panel_.value.index()))[index], found);
}

VornError PanelBuilder::too_many_positional(std::size_t given) const {
    std::size_t allowed = param_count();
    std::string message = "invalid length ";
    message += std::to_string(given);
    message += ", expected ";
    message += std::to_string(allowed);
    message += allowed == 1 ? " element in sequence" : " elements in sequence";
    return VornError::parse(std::move(message));
}

Result<void> PanelBuilder::set(PanelParam param, const Value& found) {
    // Every kind stores its parameters under the same member names, so one visitor serves all.
    switch (param) {
        case PanelParam::PriceBin: {
            Result<double> price_bin = read_f64(found);
            if (!price_bin) return std::move(price_bin).error();
            std::visit([&](auto& p) {
                if constexpr (requires { p.price_bin; }) p.price_bin = *price_bin;
            }, panel_.value);
            break;
        }
        case PanelParam::BucketMs: {
            Result<std::int64_t> bucket_ms = read_i64(found);
            if (!bucket_ms) return std::move(bucket_ms).error();
            std::visit([&](auto& p) {
                if constexpr (requires { p.bucket_ms; }) p.bucket_ms = *bucket_ms;
            }, panel_.value);
            break;
        }
        case PanelParam::DepthLevels: {
            Result<std::uint32_t> depth_levels = read_u32(found);
            if (!depth_levels) return std::move(depth_levels).error();
            std::visit([&](auto& p) {
                if constexpr (requires { p.depth_levels; }) p.depth_levels = *depth_levels;
            }, panel_.value);
            break;
        }
    }
    return Result<void>::success();
}

}  // namespace vorn::spec_rules
