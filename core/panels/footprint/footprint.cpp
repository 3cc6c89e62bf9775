// placeholder until the panel lands
#include "core/panels/compute_panel.hpp"
namespace vorn {
Result<PanelData> compute_footprint(const VornPanel::Footprint&, const Window&) { return PanelData{PanelData::Footprint{}}; }
}
