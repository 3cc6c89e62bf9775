#pragma once
// Builders and exact comparisons shared by the frame tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <span>
#include <vector>

#include "core/frame/frame.hpp"

namespace vorn::testing_support {

inline VornPanel footprint_panel(double price_bin) { return VornPanel{VornPanel::Footprint{price_bin, 60000}}; }
inline VornPanel heatmap_panel(double price_bin, std::int64_t bucket_ms, std::uint32_t depth) {
    return VornPanel{VornPanel::BookHeatmap{price_bin, bucket_ms, depth}};
}
inline VornPanel liquidation_panel(double price_bin) { return VornPanel{VornPanel::LiquidationMap{price_bin}}; }
inline VornPanel divergence_panel(std::int64_t bucket_ms) {
    return VornPanel{VornPanel::FundingOiDivergence{bucket_ms}};
}

inline VornSpec make_spec(std::vector<VornPanel> panels, std::optional<std::int64_t> from_ts = std::nullopt,
                          std::optional<std::int64_t> to_ts = std::nullopt) {
    return VornSpec{"ref", "SYM", from_ts, to_ts, std::move(panels)};
}

// Bit-for-bit equality, so -0.0 differs from 0.0 and NaN equals itself.
inline bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool same_panel(const PanelData& a, const PanelData& b) {
    if (a.value.index() != b.value.index()) return false;
    if (auto* x = std::get_if<PanelData::Footprint>(&a.value)) {
        auto& y = std::get<PanelData::Footprint>(b.value);
        return same_bits(x->price_bins, y.price_bins) && same_bits(x->buy_vol, y.buy_vol) &&
               same_bits(x->sell_vol, y.sell_vol);
    }
    if (auto* x = std::get_if<PanelData::BookHeatmap>(&a.value)) {
        auto& y = std::get<PanelData::BookHeatmap>(b.value);
        return x->time == y.time && same_bits(x->price, y.price) && same_bits(x->intensity, y.intensity);
    }
    if (auto* x = std::get_if<PanelData::LiquidationMap>(&a.value)) {
        auto& y = std::get<PanelData::LiquidationMap>(b.value);
        if (x->events.size() != y.events.size()) return false;
        for (std::size_t i = 0; i < x->events.size(); ++i) {
            const LiquidationMapEvent& p = x->events[i];
            const LiquidationMapEvent& q = y.events[i];
            if (p.ts != q.ts || std::memcmp(&p.price_bin, &q.price_bin, sizeof(double)) != 0 ||
                std::memcmp(&p.qty, &q.qty, sizeof(double)) != 0 || p.side != q.side) {
                return false;
            }
        }
        return true;
    }
    auto& x = std::get<PanelData::FundingOiDivergence>(a.value);
    auto& y = std::get<PanelData::FundingOiDivergence>(b.value);
    return x.time == y.time && same_bits(x.funding, y.funding) && same_bits(x.oi, y.oi) && same_bits(x.price, y.price);
}

// A small prepared market: every list in ts order, book levels in the shared pool.
inline Dataset sample_market(std::size_t steps) {
    Dataset d;
    for (std::size_t i = 0; i < steps; ++i) {
        std::int64_t ts = static_cast<std::int64_t>(i) * 7000;
        double x = static_cast<double>(i);
        double mid = 100.0 + static_cast<double>((i * 37) % 11) * 0.25;
        d.candles.push_back({ts, mid, mid + 1.0, mid - 1.0, mid + 0.5, 10.0 + x});
        d.trades.push_back({ts, mid - 0.3, 0.1 * x + 0.5, TradeSide::Buy});
        d.trades.push_back({ts, mid + 0.7, 0.2 * x + 0.25, TradeSide::Sell});
        std::uint64_t first = d.levels.size();
        d.levels.push_back({mid - 0.5, 1.0 + x});
        d.levels.push_back({mid - 1.5, 2.0});
        d.levels.push_back({mid + 0.5, 3.0});
        d.book.push_back({ts, first, 2, 1, i % 5 == 0 ? BookEventKind::Snapshot : BookEventKind::Diff});
        if (i % 3 == 0) d.funding.push_back({ts, 0.0001 * x});
        if (i % 2 == 0) d.oi.push_back({ts, 1000.0 + x});
        d.liquidations.push_back({ts, mid + 2.0, 0.5 + x, i % 2 ? LiquidationSide::Short : LiquidationSide::Long});
    }
    return d;
}

}  // namespace vorn::testing_support
