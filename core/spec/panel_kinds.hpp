#pragma once
// The panel kinds, declared once: each kind's tag (the value of "kind") and its parameters in
// declared order (the order of the positional form and of the validation checks). The spec
// readers, the validation, the frame computation, both reply writers and the array path all go
// through this table, by the kind's position, which is also the position of its alternative in
// VornPanel and in PanelData.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "core/spec/spec.hpp"

namespace vorn {

enum class PanelKind : std::uint8_t { Footprint, BookHeatmap, LiquidationMap, FundingOiDivergence };

// Every parameter of any kind, with its name in a spec.
enum class PanelParam : std::uint8_t { PriceBin, BucketMs, DepthLevels };
inline constexpr std::array<std::string_view, 3> kPanelParamNames = {"price_bin", "bucket_ms", "depth_levels"};

struct PanelKindInfo {
    std::string_view tag;
    std::span<const PanelParam> params;
};

namespace panel_kind_detail {
inline constexpr PanelParam kFootprint[] = {PanelParam::PriceBin, PanelParam::BucketMs};
inline constexpr PanelParam kBookHeatmap[] = {PanelParam::PriceBin, PanelParam::BucketMs, PanelParam::DepthLevels};
inline constexpr PanelParam kLiquidationMap[] = {PanelParam::PriceBin};
inline constexpr PanelParam kFundingOiDivergence[] = {PanelParam::BucketMs};
}  // namespace panel_kind_detail

// By PanelKind.
inline constexpr std::array<PanelKindInfo, 4> kPanelKinds = {{
    {"footprint", panel_kind_detail::kFootprint},
    {"book_heatmap", panel_kind_detail::kBookHeatmap},
    {"liquidation_map", panel_kind_detail::kLiquidationMap},
    {"funding_oi_divergence", panel_kind_detail::kFundingOiDivergence},
}};
static_assert(kPanelKinds.size() == std::variant_size_v<decltype(VornPanel::value)>);

// The tags alone, for the message that lists them all.
inline constexpr std::array<std::string_view, kPanelKinds.size()> kPanelTags = [] {
    std::array<std::string_view, kPanelKinds.size()> tags{};
    for (std::size_t i = 0; i < tags.size(); ++i) tags[i] = kPanelKinds[i].tag;
    return tags;
}();

inline const PanelKindInfo& panel_kind_info(PanelKind kind) { return kPanelKinds[static_cast<std::size_t>(kind)]; }
inline PanelKind panel_kind_of(const VornPanel& panel) { return static_cast<PanelKind>(panel.value.index()); }
inline std::string_view panel_tag(std::size_t kind_index) { return kPanelKinds[kind_index].tag; }

// A panel of `kind` with every parameter at its default.
inline VornPanel default_panel(PanelKind kind) {
    using Alternatives = decltype(VornPanel::value);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        using Make = VornPanel (*)();
        constexpr Make makers[] = {+[] { return VornPanel{std::variant_alternative_t<I, Alternatives>{}}; }...};
        return makers[static_cast<std::size_t>(kind)]();
    }(std::make_index_sequence<std::variant_size_v<Alternatives>>{});
}

}  // namespace vorn
