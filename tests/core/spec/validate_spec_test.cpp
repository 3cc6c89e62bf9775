#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/spec/read_spec.hpp"

namespace vorn {
namespace {

VornSpec valid_spec() {
    VornSpec spec;
    spec.dataset_ref = "day";
    spec.symbol = "BTCUSDT";
    spec.panels.push_back({VornPanel::Footprint{}});
    return spec;
}

struct ValidateCase {
    std::string name;
    VornSpec spec;
    std::string message;  // empty: valid
};

ValidateCase with_panels(std::string name, std::vector<VornPanel> panels, std::string message) {
    VornSpec spec = valid_spec();
    spec.panels = std::move(panels);
    return {std::move(name), std::move(spec), std::move(message)};
}

std::vector<ValidateCase> validate_cases() {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double kNan = std::nan("");
    constexpr double kSubnormal = std::numeric_limits<double>::denorm_min();
    std::vector<ValidateCase> cases;

    cases.push_back({"defaults_pass", valid_spec(), ""});
    {
        VornSpec spec{std::string(), std::string(1, ' '), std::nullopt, std::nullopt, valid_spec().panels};
        cases.push_back({"empty_dataset_ref_and_blank_symbol_pass", spec, ""});
    }
    {
        VornSpec spec = valid_spec();
        spec.symbol.clear();
        spec.panels.clear();
        spec.from_ts = 9;
        spec.to_ts = 1;
        cases.push_back({"empty_symbol_is_checked_first", spec, "symbol must not be empty"});
    }
    {
        VornSpec spec = valid_spec();
        spec.panels.clear();
        spec.from_ts = 9;
        spec.to_ts = 1;
        cases.push_back({"empty_panels_before_window", spec, "panels must not be empty"});
    }
    {
        VornSpec spec = valid_spec();
        spec.from_ts = 9;
        spec.to_ts = 1;
        spec.panels[0] = {VornPanel::Footprint{0.0, 0}};
        cases.push_back({"window_before_panels", spec, "from_ts must be <= to_ts"});
    }
    {
        VornSpec spec = valid_spec();
        spec.from_ts = 5;
        spec.to_ts = 5;
        cases.push_back({"equal_window_passes", spec, ""});
    }
    {
        VornSpec spec = valid_spec();
        spec.from_ts = std::numeric_limits<std::int64_t>::max();
        cases.push_back({"only_from_ts_passes", spec, ""});
    }
    {
        VornSpec spec = valid_spec();
        spec.to_ts = std::numeric_limits<std::int64_t>::min();
        cases.push_back({"only_to_ts_passes", spec, ""});
    }

    const char* fp_price = "footprint price_bin must be a positive number";
    const std::pair<const char*, double> bad_price_bins[] = {
        {"footprint_price_bin_zero", 0.0},          {"footprint_price_bin_minus_zero", -0.0},
        {"footprint_price_bin_negative", -1.0},     {"footprint_price_bin_infinite", kInf},
        {"footprint_price_bin_minus_infinite", -kInf}, {"footprint_price_bin_nan", kNan}};
    for (const auto& [name, bad] : bad_price_bins) {
        cases.push_back(with_panels(name, {{VornPanel::Footprint{bad, 60000}}}, fp_price));
    }
    cases.push_back(with_panels("footprint_subnormal_price_bin_passes", {{VornPanel::Footprint{kSubnormal, 1}}}, ""));
    cases.push_back(with_panels("footprint_price_bin_before_bucket", {{VornPanel::Footprint{0.0, 0}}}, fp_price));
    cases.push_back(with_panels("footprint_bucket_zero", {{VornPanel::Footprint{1.0, 0}}}, "footprint bucket_ms must be > 0"));
    cases.push_back(with_panels("footprint_bucket_negative",
                                {{VornPanel::Footprint{1.0, std::numeric_limits<std::int64_t>::min()}}},
                                "footprint bucket_ms must be > 0"));

    cases.push_back(with_panels("heatmap_price_first", {{VornPanel::BookHeatmap{kNan, 0, 0}}},
                                "book_heatmap price_bin must be a positive number"));
    cases.push_back(with_panels("heatmap_bucket_second", {{VornPanel::BookHeatmap{1.0, 0, 0}}},
                                "book_heatmap bucket_ms must be > 0"));
    cases.push_back(with_panels("heatmap_depth_last", {{VornPanel::BookHeatmap{1.0, 1, 0}}},
                                "book_heatmap depth_levels must be > 0"));
    cases.push_back(with_panels("heatmap_minimal_passes", {{VornPanel::BookHeatmap{kSubnormal, 1, 1}}}, ""));

    cases.push_back(with_panels("liquidation_price", {{VornPanel::LiquidationMap{-0.0}}},
                                "liquidation_map price_bin must be a positive number"));
    cases.push_back(with_panels("liquidation_infinite_price", {{VornPanel::LiquidationMap{kInf}}},
                                "liquidation_map price_bin must be a positive number"));
    cases.push_back(with_panels("divergence_bucket", {{VornPanel::FundingOiDivergence{0}}},
                                "funding_oi_divergence bucket_ms must be > 0"));
    cases.push_back(with_panels("divergence_bucket_one_passes", {{VornPanel::FundingOiDivergence{1}}}, ""));

    cases.push_back(with_panels("first_bad_panel_reported",
                                {{VornPanel::Footprint{}}, {VornPanel::FundingOiDivergence{0}}, {VornPanel::LiquidationMap{0.0}}},
                                "funding_oi_divergence bucket_ms must be > 0"));
    return cases;
}

class ValidateSpec : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ValidateSpec, ReportsTheFirstFailingCheck) {
    const ValidateCase& c = GetParam();
    Result<void> result = validate_spec(c.spec);
    if (c.message.empty()) {
        EXPECT_TRUE(result.ok()) << result.error().display();
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind, ErrorKind::BadSpec);
        EXPECT_EQ(result.error().message, c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(Checks, ValidateSpec, ::testing::ValuesIn(validate_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vorn
