#pragma once
// The JSON object of one computed panel, appended to a reply buffer.
#include <string>

#include "core/panels/panel_data.hpp"

namespace vorn {

// {"kind":"<kind>", then the kind's own members in their fixed order}. Non-finite floats are null.
void write_panel(std::string& out, const PanelData& panel);

}  // namespace vorn
