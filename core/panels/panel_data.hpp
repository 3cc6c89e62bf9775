#pragma once
// The computed result of one panel of a frame.
#include <cstdint>
#include <limits>
#include <variant>
#include <vector>

#include "core/dataset/dataset.hpp"
#include "core/panels/grid_cells.hpp"

namespace vorn {

struct LiquidationMapEvent {
    std::int64_t ts;
    double price_bin;
    double qty;
    LiquidationSide side;
};

struct PanelData {
    struct Footprint {
        std::vector<double> price_bins;
        std::vector<double> buy_vol;
        std::vector<double> sell_vol;
    };
    struct BookHeatmap {
        std::vector<std::int64_t> time;
        std::vector<double> price;
        // Row-major: row k (one per entry of time) is intensity[k * price.size() ...], price.size() cells.
        // The largest result of a frame (a day at one-second rows), so it is filled without being
        // cleared first, and shared with the next frame of a playback where its rows are the same.
        GridCells intensity;
        // Only with PanelOptions::heatmap_detail (the JSON reply never holds them): round8 of the bid
        // and of the ask sum of each cell (laid out as intensity), and per row the price of the last
        // trade before the row's end (NaN before the first) and the mid of the whole replayed book
        // at the row's end (NaN while a side is empty).
        GridCells bid_intensity;
        GridCells ask_intensity;
        std::vector<double> last_price;
        std::vector<double> mid;
        // The mid the grid is centred on (the closing book's, or the one the frame was given);
        // NaN when the heatmap is empty.
        double grid_mid = std::numeric_limits<double>::quiet_NaN();
    };
    struct LiquidationMap {
        std::vector<LiquidationMapEvent> events;
    };
    struct FundingOiDivergence {
        std::vector<std::int64_t> time;
        std::vector<double> funding;
        std::vector<double> oi;
        std::vector<double> price;
    };

    std::variant<Footprint, BookHeatmap, LiquidationMap, FundingOiDivergence> value;
};

}  // namespace vorn
