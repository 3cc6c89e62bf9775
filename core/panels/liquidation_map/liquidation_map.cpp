// placeholder until the panel lands
#include "core/panels/compute_panel.hpp"
namespace vorn {
Result<PanelData> compute_liquidation_map(const VornPanel::LiquidationMap&, const Window&) { return PanelData{PanelData::LiquidationMap{}}; }
}
