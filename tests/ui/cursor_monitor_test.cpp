// Tests that FindCursorMonitor picks the display under the cursor, scales high-dpi displays and falls
// back to the primary display.
#include "ui/cursor_monitor.h"

#include <gtest/gtest.h>

namespace {

const DisplayList kTwoDisplays = {
    DisplayMode{0, 0, 1920, 1080, 96},
    std::nullopt, // a device without current settings is skipped
    DisplayMode{1920, 0, 2880, 1620, 144},
};

void ExpectRect(const RECT& rect, LONG left, LONG top, LONG right, LONG bottom) {
    EXPECT_EQ(rect.left, left);
    EXPECT_EQ(rect.top, top);
    EXPECT_EQ(rect.right, right);
    EXPECT_EQ(rect.bottom, bottom);
}

// Tests that a 144-dpi display at 1920,0 of 2880 by 1620 becomes 1280,0 - 3200,1080 and holds the cursor.
TEST(FindCursorMonitor, ScalesHighDpiDisplay) {
    RECT rect{-1, -1, -1, -1};
    FindCursorMonitor(rect, POINT{2000, 500}, kTwoDisplays);
    ExpectRect(rect, 1280, 0, 3200, 1080);
}

// Tests that the box is half-open and that a cursor on no display gives the primary display.
TEST(FindCursorMonitor, FallsBackToPrimary) {
    RECT rect{-1, -1, -1, -1};
    FindCursorMonitor(rect, POINT{3200, 500}, kTwoDisplays);
    ExpectRect(rect, 0, 0, 1920, 1080);
    FindCursorMonitor(rect, POINT{-50, -50}, kTwoDisplays);
    ExpectRect(rect, 0, 0, 1920, 1080);
}

// Tests that with no display at 0,0 and none under the cursor the caller's rectangle is left alone, so
// starting from the primary screen always yields a usable rectangle.
TEST(FindCursorMonitor, LeavesRectWhenNothingMatches) {
    const DisplayList offset = {DisplayMode{100, 100, 800, 600, 96}};
    RECT rect{0, 0, 1280, 1024};
    FindCursorMonitor(rect, POINT{5000, 5000}, offset);
    ExpectRect(rect, 0, 0, 1280, 1024);
    FindCursorMonitor(rect, POINT{899, 699}, offset);
    ExpectRect(rect, 100, 100, 900, 700);
}

// Tests that the real enumeration finds the primary display of this session.
TEST(FindCursorMonitor, RealDisplaysIncludePrimary) {
    RECT rect = RECT{-1, -1, -1, -1};
    FindCursorMonitor(rect);
    EXPECT_EQ(rect.left, 0);
    EXPECT_EQ(rect.top, 0);
    EXPECT_GT(rect.right, 0);
    EXPECT_GT(rect.bottom, 0);
}

} // namespace
