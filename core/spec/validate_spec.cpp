#include <cmath>
#include <string>
#include <variant>

#include "core/spec/read_spec.hpp"

namespace vorn {
namespace {

bool positive_finite(double value) { return std::isfinite(value) && value > 0.0; }

VornError price_bin_not_positive(std::string_view kind) {
    std::string message(kind);
    message += " price_bin must be a positive number";
    return VornError::bad_spec(std::move(message));
}

// The checks of one panel in their fixed order; the first failing one is reported.
Result<void> validate_panel(const VornPanel& panel) {
    struct Checker {
        Result<void> operator()(const VornPanel::Footprint& p) const {
            if (!positive_finite(p.price_bin)) return price_bin_not_positive("footprint");
            if (p.bucket_ms < 1) return VornError::bad_spec("footprint bucket_ms must be > 0");
            return Result<void>::success();
        }
        Result<void> operator()(const VornPanel::BookHeatmap& p) const {
            if (!positive_finite(p.price_bin)) return price_bin_not_positive("book_heatmap");
            if (p.bucket_ms < 1) return VornError::bad_spec("book_heatmap bucket_ms must be > 0");
            if (p.depth_levels == 0) return VornError::bad_spec("book_heatmap depth_levels must be > 0");
            return Result<void>::success();
        }
        Result<void> operator()(const VornPanel::LiquidationMap& p) const {
            if (!positive_finite(p.price_bin)) return price_bin_not_positive("liquidation_map");
            return Result<void>::success();
        }
        Result<void> operator()(const VornPanel::FundingOiDivergence& p) const {
            if (p.bucket_ms < 1) return VornError::bad_spec("funding_oi_divergence bucket_ms must be > 0");
            return Result<void>::success();
        }
    };
    return std::visit(Checker{}, panel.value);
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
