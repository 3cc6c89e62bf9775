#include "core/output/write_panel.hpp"

#include <algorithm>
#include <vector>
#include <cstring>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/json/writer.hpp"
#include "core/spec/panel_kinds.hpp"

namespace vorn {
namespace {

// Float lists are the bulk of a frame reply. Room for the longest text of every value is made
// once per list, the values are formatted straight into it and the text is cut to what was
// written, so no value pays for a capacity check of its own.
void write_floats(std::string& out, std::span<const double> values) {
    std::size_t start = out.size();
    out.resize(start + 2 + values.size() * (json::kFloatTextCapacity + 1));
    char* w = out.data() + start;
    *w++ = '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) *w++ = ',';
        w = json::format_float(w, values[i]);
    }
    *w++ = ']';
    out.resize(static_cast<std::size_t>(w - out.data()));
}

void write_ints(std::string& out, std::span<const std::int64_t> values) {
    out.push_back('[');
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) out.push_back(',');
        json::write_int(out, values[i]);
    }
    out.push_back(']');
}

// The row-major grid as a list of rows: one per entry of `time`, `price.size()` cells each. Rows
// are clipped to the cells actually held, so a grid shorter than its axes is never overrun.
//
// Consecutive rows of a book heatmap are mostly the same: a row whose cells equal the previous
// row's bit for bit is written as a copy of that row's text, and any other cell equal to the cell
// above it as a copy of that cell's text. The text is the same as formatting every cell.
void write_rows(std::string& out, const PanelData::BookHeatmap& heatmap) {
    std::span<const double> cells = heatmap.intensity;
    std::size_t width = heatmap.price.size();
    // Where each cell text of the previous row starts, plus one entry just past its ']', so that
    // cell i's text is the bytes from entry i to entry i + 1, less one (its comma or ']').
    std::vector<std::size_t> above;
    std::vector<std::size_t> current;
    std::span<const double> previous;
    out.push_back('[');
    for (std::size_t row = 0; row < heatmap.time.size(); ++row) {
        if (row != 0) out.push_back(',');
        std::size_t first = std::min(row * width, cells.size());
        std::size_t count = std::min(width, cells.size() - first);
        std::span<const double> values = cells.subspan(first, count);
        bool same_shape = row != 0 && previous.size() == count;
        if (same_shape && count != 0 && std::memcmp(previous.data(), values.data(), count * sizeof(double)) == 0) {
            // The whole previous row's text, from its '[' to its ']'.
            std::size_t from = above.front() - 1;
            std::size_t length = above.back() - from;
            std::size_t start = out.size();
            out.resize(start + length);
            std::memcpy(out.data() + start, out.data() + from, length);
            for (std::size_t& at : above) at += start - from;
            previous = values;
            continue;
        }
        current.resize(count + 1);
        std::size_t start = out.size();
        out.resize(start + 2 + count * (json::kFloatTextCapacity + 1));
        char* base = out.data();
        char* w = base + start;
        *w++ = '[';
        for (std::size_t i = 0; i < count; ++i) {
            if (i != 0) *w++ = ',';
            current[i] = static_cast<std::size_t>(w - base);
            if (same_shape && std::bit_cast<std::uint64_t>(previous[i]) == std::bit_cast<std::uint64_t>(values[i])) {
                std::size_t length = above[i + 1] - above[i] - 1;
                std::memcpy(w, base + above[i], length);
                w += length;
            } else {
                w = json::format_float(w, values[i]);
            }
        }
        current[count] = static_cast<std::size_t>(w - base) + 1;
        *w++ = ']';
        out.resize(static_cast<std::size_t>(w - base));
        above.swap(current);
        previous = values;
    }
    out.push_back(']');
}

std::string_view side_name(LiquidationSide side) { return side == LiquidationSide::Short ? "short" : "long"; }

void write_members(std::string& out, const PanelData::Footprint& p) {
    out.append(R"(,"price_bins":)");
    write_floats(out, p.price_bins);
    out.append(R"(,"buy_vol":)");
    write_floats(out, p.buy_vol);
    out.append(R"(,"sell_vol":)");
    write_floats(out, p.sell_vol);
}

void write_members(std::string& out, const PanelData::BookHeatmap& p) {
    out.append(R"(,"time":)");
    write_ints(out, p.time);
    out.append(R"(,"price":)");
    write_floats(out, p.price);
    out.append(R"(,"intensity":)");
    write_rows(out, p);
}

void write_members(std::string& out, const PanelData::LiquidationMap& p) {
    out.append(R"(,"events":[)");
    for (std::size_t i = 0; i < p.events.size(); ++i) {
        const LiquidationMapEvent& e = p.events[i];
        if (i != 0) out.push_back(',');
        out.append(R"({"ts":)");
        json::write_int(out, e.ts);
        out.append(R"(,"price_bin":)");
        json::write_float(out, e.price_bin);
        out.append(R"(,"qty":)");
        json::write_float(out, e.qty);
        out.append(R"(,"side":)");
        json::write_string(out, side_name(e.side));
        out.push_back('}');
    }
    out.push_back(']');
}

void write_members(std::string& out, const PanelData::FundingOiDivergence& p) {
    out.append(R"(,"time":)");
    write_ints(out, p.time);
    out.append(R"(,"funding":)");
    write_floats(out, p.funding);
    out.append(R"(,"oi":)");
    write_floats(out, p.oi);
    out.append(R"(,"price":)");
    write_floats(out, p.price);
}

}  // namespace

void write_panel(std::string& out, const PanelData& panel) {
    out.append(R"({"kind":")");
    out.append(panel_tag(panel.value.index()));
    out.push_back('"');
    std::visit([&out](const auto& p) { write_members(out, p); }, panel.value);
    out.push_back('}');
}

}  // namespace vorn
