// The desktop as a browser draws it: every top-level window's tree as
// JSON, with what a screen would show of each window.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/win32/user32/headless_desktop.h"

namespace tm350::tool {

// One window: class, text (UTF-8), rect {left, top, right, bottom}, style,
// ex_style, id, visible, enabled, and for the controls that have them check,
// range [min, max], position, thumb, tabs and selected_tab.
nlohmann::json WindowJson(const user32::WindowView &view);

// {"generation": G, "windows": [top-level window with "children": [...]]},
// topmost first. `generation` is read before the views are taken, so a
// change made meanwhile shows as a later generation.
nlohmann::json DesktopJson();

}  // namespace tm350::tool
