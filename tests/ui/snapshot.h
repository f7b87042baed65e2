// Paints a window into memory through WM_PRINTCLIENT (the same face WM_PAINT draws) so tests can read
// its pixels, and saves pictures into the test output folder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct Snapshot {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels; // 0x00RRGGBB, top row first

    COLORREF At(int x, int y) const;
    COLORREF At(POINT p) const { return At(p.x, p.y); }
    // Saves a 24-bit BMP; false when the file cannot be written.
    bool SaveBmp(const std::string& path) const;
};

Snapshot PrintClient(HWND window);
// The colour as "r,g,b" for readable failures.
std::string ColourText(COLORREF colour);
// Folder for pictures the suite produces: ORVANE_TEST_OUTPUT if set, else the build's test-output folder.
std::string TestOutputFolder();
// Live GDI objects of this process: GetGuiResources, or where that is not kept (Wine answers 0) a walk
// over the GDI handle table.
size_t CountGdiObjects();
// Sends the messages waiting in this thread's queue to their windows.
void PumpMessages();
