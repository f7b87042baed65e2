// Finds the display under the mouse cursor, so a window can be placed on it. The display enumeration is
// a plain list, so tests can describe any arrangement of displays.
#pragma once

#include <windows.h>

#include <optional>
#include <vector>

struct DisplayMode {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int logPixels = 96;
};

// One entry per display device in enumeration order; empty for a device without current settings.
using DisplayList = std::vector<std::optional<DisplayMode>>;

DisplayList EnumerateDisplays();

// Writes the rectangle of the display holding the cursor, else of the primary display (the one at 0,0).
// Writes nothing when neither exists, so the caller starts from a usable rectangle.
void FindCursorMonitor(RECT& rect, POINT cursor, const DisplayList& displays);
// The same with the real cursor and displays.
void FindCursorMonitor(RECT& rect);

// The primary screen's rectangle, the start value for FindCursorMonitor's callers.
RECT PrimaryScreenRect();
