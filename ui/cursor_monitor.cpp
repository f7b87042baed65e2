#include "ui/cursor_monitor.h"

DisplayList EnumerateDisplays() {
    DisplayList displays;
    DISPLAY_DEVICEW device{};
    device.cb = sizeof device;
    for (DWORD index = 0; EnumDisplayDevicesW(nullptr, index, &device, 0); ++index) {
        DEVMODEW mode{};
        mode.dmSize = sizeof mode;
        if (!EnumDisplaySettingsExW(device.DeviceName, ENUM_CURRENT_SETTINGS, &mode, 0)) {
            displays.emplace_back();
        } else {
            displays.push_back(DisplayMode{mode.dmPosition.x, mode.dmPosition.y, int(mode.dmPelsWidth),
                                           int(mode.dmPelsHeight), int(mode.dmLogPixels)});
        }
        device = {};
        device.cb = sizeof device;
    }
    return displays;
}

void FindCursorMonitor(RECT& rect, POINT cursor, const DisplayList& displays) {
    for (const auto& entry : displays) {
        if (!entry)
            continue;
        DisplayMode d = *entry;
        if (d.logPixels > 96) {
            // Scaled displays report device pixels; windows are placed in 96-dpi units.
            d.x = d.x * 96 / d.logPixels;
            d.y = d.y * 96 / d.logPixels;
            d.width = d.width * 96 / d.logPixels;
            d.height = d.height * 96 / d.logPixels;
        }
        if (d.x == 0 && d.y == 0) {
            rect = RECT{0, 0, d.width, d.height};
            continue;
        }
        if (d.x <= cursor.x && cursor.x < d.x + d.width && d.y <= cursor.y && cursor.y < d.y + d.height) {
            rect = RECT{d.x, d.y, d.x + d.width, d.y + d.height};
            return;
        }
    }
}

void FindCursorMonitor(RECT& rect) {
    POINT cursor{};
    GetCursorPos(&cursor);
    FindCursorMonitor(rect, cursor, EnumerateDisplays());
}

RECT PrimaryScreenRect() {
    return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}
