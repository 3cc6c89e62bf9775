#pragma once
// The caller's request: which data, an optional time window and the panels of every frame.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vorn {

struct VornPanel {
    struct Footprint {
        double price_bin = 1.0;
        std::int64_t bucket_ms = 60000;
    };
    struct BookHeatmap {
        double price_bin = 1.0;
        std::int64_t bucket_ms = 60000;
        std::uint32_t depth_levels = 40;
    };
    struct LiquidationMap {
        double price_bin = 1.0;
    };
    struct FundingOiDivergence {
        std::int64_t bucket_ms = 60000;
    };

    std::variant<Footprint, BookHeatmap, LiquidationMap, FundingOiDivergence> value;
};

struct VornSpec {
    std::string dataset_ref;
    std::string symbol;
    std::optional<std::int64_t> from_ts;
    std::optional<std::int64_t> to_ts;
    std::vector<VornPanel> panels;
};

}  // namespace vorn
