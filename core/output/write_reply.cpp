#include "core/output/write_reply.hpp"

#include <type_traits>
#include <variant>

#include "core/json/writer.hpp"
#include "core/output/write_panel.hpp"

namespace vorn {

std::string write_frame(const Frame& frame) {
    std::string out;
    out.reserve(128);
    out.append(R"({"symbol":)");
    json::write_string(out, frame.symbol);
    out.append(R"(,"cursor_ts":)");
    json::write_int(out, frame.cursor_ts);
    out.append(R"(,"panels":[)");
    for (std::size_t i = 0; i < frame.panels.size(); ++i) {
        if (i != 0) out.push_back(',');
        write_panel(out, frame.panels[i]);
    }
    out.append("]}");
    return out;
}

std::string write_bounds(const TimeBounds& bounds) {
    std::string out;
    out.reserve(128);
    out.append(R"({"from_ts":)");
    json::write_int(out, bounds.from_ts);
    out.append(R"(,"to_ts":)");
    json::write_int(out, bounds.to_ts);
    out.append(R"(,"count":)");
    json::write_uint(out, bounds.count);
    out.push_back('}');
    return out;
}

namespace {

// Widest forms: a double in shortest round-trip form with its comma ("-1.2345678901234567e-308,"),
// a 64-bit integer with its comma, a string escaped byte by byte as \u00XX.
constexpr std::uint64_t kDouble = 25;
constexpr std::uint64_t kInteger = 21;
constexpr std::uint64_t kPanel = 160;  // a panel's member names and brackets

// The widest JSON each kind's data can take, beyond kPanel.
std::uint64_t reply_bound(const PanelData::Footprint& data) {
    return kDouble * (data.price_bins.size() + data.buy_vol.size() + data.sell_vol.size());
}
std::uint64_t reply_bound(const PanelData::BookHeatmap& data) {
    return kInteger * data.time.size() + kDouble * (data.price.size() + data.intensity.size()) + 2 * data.time.size();
}
std::uint64_t reply_bound(const PanelData::LiquidationMap& data) {
    return (kInteger + 2 * kDouble + 64) * data.events.size();
}
std::uint64_t reply_bound(const PanelData::FundingOiDivergence& data) {
    return kInteger * data.time.size() + kDouble * (data.funding.size() + data.oi.size() + data.price.size());
}

}  // namespace

std::uint64_t frame_reply_bound(const Frame& frame) {
    std::uint64_t bound = 64 + 6 * static_cast<std::uint64_t>(frame.symbol.size()) + kInteger;
    for (const PanelData& panel : frame.panels) {
        bound += kPanel + std::visit([](const auto& data) { return reply_bound(data); }, panel.value);
    }
    return bound;
}

}  // namespace vorn
