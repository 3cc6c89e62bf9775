#include "core/output/write_reply.hpp"

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

}  // namespace vorn
