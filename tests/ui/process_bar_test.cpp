// Tests that the progress bar draws its track, its fill with the rounded and squared ends, and nothing
// but the track for out-of-range numbers.
#include "ui/process_bar.h"
#include "ui/gdi_handles.h"
#include "ui/shared_gdi.h"

#include "tests/ui/snapshot.h"

#include <gtest/gtest.h>

namespace {

constexpr COLORREF kFill = RGB(84, 165, 228);
constexpr COLORREF kOutline = RGB(109, 185, 243);
constexpr COLORREF kTrack = RGB(226, 226, 226);
constexpr COLORREF kWhite = RGB(255, 255, 255);

class ProcessBarTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreateSharedGdi(); }
    static void TearDownTestSuite() { DeleteSharedGdi(); }

    // Paints the bar at 434 by 15 into memory and returns the pixels.
    Snapshot Paint(int32_t position, int32_t maximum) {
        bar.position = position;
        bar.maximum = maximum;
        Snapshot shot;
        shot.width = 434;
        shot.height = 15;
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), shot.width, -shot.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        MemoryDC dc(nullptr);
        GdiObject<HBITMAP> dib(CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        SelectGuard select(dc, dib);
        bar.Paint(dc, RECT{0, 0, shot.width, shot.height});
        GdiFlush();
        const auto* p = static_cast<const uint32_t*>(bits);
        shot.pixels.assign(p, p + shot.width * shot.height);
        for (auto& px : shot.pixels)
            px &= 0xFFFFFF;
        return shot;
    }

    // Columns whose middle row carries fill or outline colour.
    static std::pair<int, int> FillSpan(const Snapshot& shot) {
        int first = -1, last = -1;
        for (int x = 0; x < shot.width; ++x) {
            COLORREF c = shot.At(x, 7);
            if (c == kFill || c == kOutline) {
                if (first < 0)
                    first = x;
                last = x;
            }
        }
        return {first, last};
    }

    TProcess bar;
};

// Tests that maximum 10 and position 1 fill x 3 to 45 (right edge exclusive), round at the left and
// square at the right, where the strip 41 to 45 is flat fill.
TEST_F(ProcessBarTest, PartialFillHasSquareLeadingEnd) {
    EXPECT_EQ(TProcess::FillRight(RECT{0, 0, 434, 15}, 1, 10), 45);
    Snapshot shot = Paint(1, 10);
    EXPECT_EQ(FillSpan(shot), std::make_pair(3, 44));
    for (int y = 3; y < 12; ++y)
        EXPECT_EQ(ColourText(shot.At(44, y)), ColourText(kFill)) << "square end, row " << y;
    EXPECT_EQ(ColourText(shot.At(41, 3)), ColourText(kFill));
    EXPECT_NE(ColourText(shot.At(3, 3)), ColourText(kFill)) << "rounded start";
    EXPECT_NE(ColourText(shot.At(3, 3)), ColourText(kOutline)) << "rounded start";
    EXPECT_EQ(ColourText(shot.At(45, 7)), ColourText(kWhite));
    EXPECT_EQ(ColourText(shot.At(200, 0)), ColourText(kTrack));
}

// Tests that a full bar reaches W - 3 with both ends rounded.
TEST_F(ProcessBarTest, FullFillIsRoundedAtBothEnds) {
    Snapshot shot = Paint(10, 10);
    EXPECT_EQ(FillSpan(shot), std::make_pair(3, 430));
    EXPECT_EQ(ColourText(shot.At(430, 7)), ColourText(kOutline));
    EXPECT_NE(ColourText(shot.At(430, 3)), ColourText(kFill)) << "rounded end";
    EXPECT_NE(ColourText(shot.At(430, 3)), ColourText(kOutline)) << "rounded end";
    EXPECT_EQ(ColourText(shot.At(200, 7)), ColourText(kFill));
}

// Tests that -1, 0, a position beyond the maximum and maximum 0 draw only the track.
TEST_F(ProcessBarTest, OutOfRangeDrawsOnlyTrack) {
    const std::pair<int32_t, int32_t> cases[] = {{-1, 10}, {0, 10}, {11, 10}, {1, 0}, {0, 0}};
    for (auto [position, maximum] : cases) {
        Snapshot shot = Paint(position, maximum);
        EXPECT_EQ(FillSpan(shot), std::make_pair(-1, -1)) << position << " of " << maximum;
        EXPECT_EQ(ColourText(shot.At(200, 0)), ColourText(kTrack));
        EXPECT_EQ(ColourText(shot.At(200, 7)), ColourText(kWhite));
    }
}

} // namespace
