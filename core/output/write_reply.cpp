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

std::uint64_t frame_reply_bound(const Frame& frame) {
    // Widest forms: a double in shortest round-trip form with its comma ("-1.2345678901234567e-308,"),
    // a 64-bit integer with its comma, a string escaped byte by byte as \u00XX.
    constexpr std::uint64_t kDouble = 25;
    constexpr std::uint64_t kInteger = 21;
    constexpr std::uint64_t kPanel = 160;  // a panel's member names and brackets
    std::uint64_t bound = 64 + 6 * static_cast<std::uint64_t>(frame.symbol.size()) + kInteger;
    for (const PanelData& panel : frame.panels) {
        bound += kPanel;
        std::visit(
            [&bound](const auto& data) {
                using D = std::decay_t<decltype(data)>;
                if constexpr (std::is_same_v<D, PanelData::Footprint>) {
                    bound += kDouble * (data.price_bins.size() + data.buy_vol.size() + data.sell_vol.size());
                } else if constexpr (std::is_same_v<D, PanelData::BookHeatmap>) {
                    bound += kInteger * data.time.size() + kDouble * (data.price.size() + data.intensity.size()) +
                             2 * data.time.size();
                } else if constexpr (std::is_same_v<D, PanelData::LiquidationMap>) {
                    bound += (kInteger + 2 * kDouble + 64) * data.events.size();
                } else {
                    bound += kInteger * data.time.size() +
                             kDouble * (data.funding.size() + data.oi.size() + data.price.size());
                }
            },
            panel.value);
    }
    return bound;
}

}  // namespace vorn
