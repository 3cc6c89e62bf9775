#include <array>
#include <cmath>
#include <string>
#include <variant>

#include "core/spec/panel_kinds.hpp"
#include "core/spec/read_spec.hpp"

namespace vorn {
namespace {

bool positive_finite(double value) { return std::isfinite(value) && value > 0.0; }

// What each parameter must be, and how its failure ends ("<kind> price_bin must be ...").
constexpr std::array<std::string_view, 3> kParamRules = {
    " price_bin must be a positive number", " bucket_ms must be > 0", " depth_levels must be > 0"};

bool param_valid(const VornPanel& panel, PanelParam param) {
    return std::visit(
        [param](const auto& p) {
            switch (param) {
                case PanelParam::PriceBin:
                    if constexpr (requires { p.price_bin; }) return positive_finite(p.price_bin);
                    break;
                case PanelParam::BucketMs:
                    if constexpr (requires { p.bucket_ms; }) return p.bucket_ms >= 1;
                    break;
                case PanelParam::DepthLevels:
                    if constexpr (requires { p.depth_levels; }) return p.depth_levels != 0;
                    break;
            }
            return true;
        },
        panel.value);
}

// The checks of one panel in the order of its kind's parameters; the first failing one is reported.
Result<void> validate_panel(const VornPanel& panel) {
    const PanelKindInfo& kind = panel_kind_info(panel_kind_of(panel));
    for (PanelParam param : kind.params) {
        if (param_valid(panel, param)) continue;
        std::string message(kind.tag);
        message += kParamRules[static_cast<std::size_t>(param)];
        return VornError::bad_spec(std::move(message));
    }
    return Result<void>::success();
}

}  // namespace

Result<void> validate_spec(const VornSpec& spec) {
    if (spec.symbol.empty()) return VornError::bad_spec("symbol must not be empty");
    if (spec.panels.empty()) return VornError::bad_spec("panels must not be empty");
    if (spec.from_ts && spec.to_ts && *spec.from_ts > *spec.to_ts) {
        return VornError::bad_spec("from_ts must be <= to_ts");
    }
    for (const VornPanel& panel : spec.panels) {
        if (Result<void> checked = validate_panel(panel); !checked) return checked;
    }
    return Result<void>::success();
}

}  // namespace vorn
