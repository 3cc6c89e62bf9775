// placeholder until the panel lands
#include "core/panels/compute_panel.hpp"
namespace vorn {
Result<PanelData> compute_book_heatmap(const VornPanel::BookHeatmap&, const Window&) { return PanelData{PanelData::BookHeatmap{}}; }
}
