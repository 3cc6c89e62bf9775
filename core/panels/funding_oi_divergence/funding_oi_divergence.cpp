// placeholder until the panel lands
#include "core/panels/compute_panel.hpp"
namespace vorn {
Result<PanelData> compute_funding_oi_divergence(const VornPanel::FundingOiDivergence&, const Window&) { return PanelData{PanelData::FundingOiDivergence{}}; }
}
