// Tests that the main dialog's face follows its state with the geometry and colours it is drawn with,
// and that hover, press and release act only where the button and the glyph are shown.
#include "tests/ui/dialog_fixture.h"

#include "app/ui_texts.h"
#include "core/module_list.h"
#include "service/notify.h"
#include "ui/gdi_handles.h"
#include "ui/modal_wnd.h"

#include <gtest/gtest.h>

#include <functional>

#include <string>

namespace {

using namespace dialog_face;

constexpr COLORREF kFaceAway = kButtonFaceColour;
constexpr COLORREF kFaceOver = kButtonFaceHoverColour;
constexpr COLORREF kGlyphAway = kGlyphColour;
constexpr COLORREF kGlyphOver = kGlyphHoverColour;
// Inside the button's border, where its caption is drawn.
constexpr RECT kInButton{kButtonRect.left + 2, kButtonRect.top + 2, kButtonRect.right - 2,
                         kButtonRect.bottom - 1};

// A pixel of one of the executable's own pictures.
COLORREF PicturePixel(int id, int x, int y) {
    MemoryDC dc(nullptr);
    GdiObject<HBITMAP> picture(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id)));
    SelectGuard select(dc, picture);
    return GetPixel(dc, x, y);
}

// Top row inside the button (border excluded) where the caption differs from the face.
int CaptionTop(const Snapshot& shot, COLORREF face) {
    for (int y = kInButton.top; y < kInButton.bottom; ++y)
        for (int x = kInButton.left; x < kInButton.right; ++x)
            if (shot.At(x, y) != face)
                return y;
    return -1;
}

void Save(const Snapshot& shot, const std::string& name) {
    EXPECT_TRUE(shot.SaveBmp(TestOutputFolder() + "\\" + name + ".bmp")) << name;
}

// Tests the layout of the placed dialog: the shapes of app/dialog_shapes.json.
TEST_F(DialogTest, LayoutMatchesGeometry) {
    RECT window{};
    GetClientRect(dialog->hwnd, &window);
    EXPECT_EQ(window.right, kDialogWidth);
    EXPECT_EQ(window.bottom, kDialogHeight);
    auto text = [](const RECT& r) {
        return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
               std::to_string(r.bottom);
    };
    EXPECT_EQ(text(dialog->buttonRect), text(kButtonRect));
    EXPECT_EQ(text(dialog->statusRect), text(kStatusRect));
    EXPECT_EQ(text(dialog->busyTextRect), text(kBusyTextRect));
    EXPECT_EQ(text(dialog->captionRect), text(RECT{0, 0, kDialogWidth, kCaptionHeight}));
    Face();
    EXPECT_EQ(text(dialog->closeRect), text(kCloseHitRect));
}

// Tests the button and glyph in Ready: face colour away and over, the caption one pixel lower under the
// cursor, and leaving through the glyph restores the glyph's colour.
TEST_F(DialogTest, ReadyHoverChangesFaceCaptionAndGlyph) {
    Snapshot away = Face();
    EXPECT_EQ(ColourText(away.At(kOnFace)), ColourText(kFaceAway));
    EXPECT_EQ(ColourText(away.At(kButtonRect.left, kOnButton.y)), ColourText(kButtonBorderColour))
        << "border";
    EXPECT_EQ(ColourText(away.At(kOnGlyph)), ColourText(kGlyphAway));
    EXPECT_EQ(away.At(100, 100), PicturePixel(kIdlePictureId, 100, 100));
    Save(away, "ready-en");

    MoveTo(kOnButton);
    EXPECT_TRUE(dialog->buttonHover);
    Snapshot over = Face();
    EXPECT_EQ(ColourText(over.At(kOnFace)), ColourText(kFaceOver));
    const int topAway = CaptionTop(away, kFaceAway);
    ASSERT_GT(topAway, 0) << "the caption is drawn";
    EXPECT_EQ(CaptionTop(over, kFaceOver), topAway + 1);
    Send(WM_MOUSELEAVE);
    EXPECT_FALSE(dialog->buttonHover);
    Snapshot left = Face();
    EXPECT_EQ(ColourText(left.At(kOnFace)), ColourText(kFaceAway));
    EXPECT_EQ(CaptionTop(left, kFaceAway), topAway);

    MoveTo(kOnGlyph);
    EXPECT_FALSE(dialog->buttonHover);
    EXPECT_TRUE(dialog->closeHover);
    Snapshot onGlyph = Face();
    EXPECT_EQ(ColourText(onGlyph.At(kOnGlyph)), ColourText(kGlyphOver));
    EXPECT_EQ(ColourText(onGlyph.At(kOnFace)), ColourText(kFaceAway));

    Send(WM_MOUSELEAVE);
    EXPECT_FALSE(dialog->closeHover);
    EXPECT_EQ(ColourText(Face().At(kOnGlyph)), ColourText(kGlyphAway));
}

// Tests that Ready draws the Chinese captions in both scripts (screenshots for the eye; the caption
// differs from the English one).
TEST_F(DialogTest, ReadyInChinese) {
    Snapshot english = Face();
    for (auto [language, name] : {std::pair{2052u, "ready-zh-cn"}, std::pair{1028u, "ready-zh-tw"}}) {
        Open(language);
        Snapshot shot = Face();
        Save(shot, name);
        EXPECT_EQ(ColourText(shot.At(kOnFace)), ColourText(kFaceAway));
        EXPECT_NE(CaptionTop(shot, kFaceAway), -1) << name;
        bool differs = false;
        for (int y = kInButton.top; y < kInButton.bottom && !differs; ++y)
            for (int x = kInButton.left; x < kInButton.right && !differs; ++x)
                differs = shot.At(x, y) != english.At(x, y);
        EXPECT_TRUE(differs) << name;
    }
}

// Tests Updating: picture 110, no glyph, no button, the texts and the bar; a release where the glyph was
// does nothing.
TEST_F(DialogTest, UpdatingShowsBusyPictureWithoutControls) {
    Face(); // the glyph's hit rectangle of the last paint stays
    dialog->state = Updating;
    dialog->doneCount = 3;
    dialog->totalCount = 4;
    ShowBar(3, 4);
    Snapshot shot = Face();
    EXPECT_EQ(shot.At(kOnGlyph), PicturePixel(kBusyPictureId, kOnGlyph.x, kOnGlyph.y)) << "no glyph";
    EXPECT_EQ(shot.At(100, 100), PicturePixel(kBusyPictureId, 100, 100));
    EXPECT_EQ(ColourText(shot.At(kOnFace.x, kButtonRect.bottom - 10)), "255,255,255")
        << "no button on the panel";
    EXPECT_EQ(ColourText(shot.At(kBarRect.left + 200, kBarRect.top + 7)), "84,165,228")
        << "bar three quarters full";
    EXPECT_EQ(ColourText(shot.At(kBarRect.left + 400, kBarRect.top + 7)), "255,255,255");
    bool blackText = false;
    for (int y = kStatusRect.top; y < kStatusRect.bottom; ++y)
        for (int x = kPercentLeft; x < kStatusRect.right; ++x)
            blackText |= shot.At(x, y) == kStatusTextColour;
    EXPECT_TRUE(blackText) << "the percentage at the right of the status line";
    bool bannerRunsOn = false;
    for (int y = kBusyTextRect.top; y < kBusyTextRect.bottom; ++y)
        for (int x = kBusyTextRect.right + 4; x < 480; ++x)
            bannerRunsOn |= shot.At(x, y) == kBannerColour;
    EXPECT_TRUE(bannerRunsOn) << "the English banner is not cut at its rectangle's right edge";
    Save(shot, "updating-en");

    MoveTo(kOnGlyph);
    Send(WM_LBUTTONUP);
    EXPECT_TRUE(dialog->running);
    EXPECT_NE(dialog->hwnd, nullptr);
    EXPECT_EQ(Face().At(kOnGlyph), PicturePixel(kBusyPictureId, kOnGlyph.x, kOnGlyph.y));
}

// Tests the percentage: 0 with nothing to count, 74 for 3 of 4, never 100.
TEST(ProgressPercent, TruncatesAndNeverReachesHundred) {
    EXPECT_EQ(ProgressPercent(0, 0), 0);
    EXPECT_EQ(ProgressPercent(3, 4), 74);
    EXPECT_EQ(ProgressPercent(4, 4), 99);
    EXPECT_EQ(ProgressPercent(1, 3), 33);
}

// Tests Failed: picture 110, the status text, the glyph; a press on the button area neither drags nor
// does anything else.
TEST_F(DialogTest, FailedShowsStatusAndIgnoresButtonArea) {
    PressInstall();
    ShowBar(-1, 0);
    Notify(kNotifyNothingOffered, 5);
    Snapshot shot = Face();
    EXPECT_EQ(ColourText(shot.At(kOnGlyph)), ColourText(kGlyphAway));
    EXPECT_EQ(ColourText(shot.At(kBarRect.left + 200, kBarRect.top + 7)), "255,255,255") << "empty track";
    EXPECT_EQ(ColourText(shot.At(kBarRect.left + 200, kBarRect.top)), "226,226,226");
    bool text = false;
    for (int y = kStatusRect.top; y < kStatusRect.bottom; ++y)
        for (int x = kStatusLeftPart; x < kStatusRect.right; ++x)
            text |= shot.At(x, y) == kStatusTextColour;
    EXPECT_TRUE(text);
    Save(shot, "failed-en");

    MoveTo(kOnButton);
    Send(WM_LBUTTONDOWN, MAKELPARAM(kOnButton.x, kOnButton.y), MK_LBUTTON);
    EXPECT_FALSE(TakeDrag());
    EXPECT_EQ(dialog->state, Failed);
    EXPECT_TRUE(dialog->running);

    MoveTo(100, 100);
    Send(WM_LBUTTONDOWN, MAKELPARAM(100, 100), MK_LBUTTON);
    EXPECT_TRUE(TakeDrag()) << "elsewhere the face still drags";
}

// Tests the wait: the status line counts down in the UI language, the close glyph is drawn and, pressed,
// cancels: the dialog ends in Failed and the temporary folder goes with it.
TEST_F(DialogTest, WaitShowsCountdownAndCloseCancels) {
    for (uint32_t language : {1033u, 2052u, 1028u}) {
        SCOPED_TRACE(language);
        Open(language);
        const std::string temp = A(GetInstallSettings().TempDir);
        PressInstall();
        Notify(kNotifyCheckLost);
        ASSERT_TRUE(dialog->Waiting());
        EXPECT_EQ(dialog->waitText.rfind(WaitingPrefix(language), 0), 0u) << dialog->waitText;
        const int seconds = dialog->attempts->SecondsLeft();
        EXPECT_NE(dialog->waitText.find(std::to_wstring(seconds)), std::wstring::npos) << dialog->waitText;

        Snapshot shot = Face();
        EXPECT_EQ(ColourText(shot.At(kOnGlyph)), ColourText(kGlyphAway)) << "no close glyph";
        bool text = false;
        for (int y = kStatusRect.top; y < kStatusRect.bottom; ++y)
            for (int x = kStatusRect.left + 8; x < kStatusLeftPart; ++x)
                text |= shot.At(x, y) == kStatusTextColour;
        EXPECT_TRUE(text) << "no waiting line";
        Save(shot, "waiting-" + std::to_string(language));

        MoveTo(kOnGlyph);
        Send(WM_LBUTTONUP);
        EXPECT_FALSE(dialog->running);
        EXPECT_EQ(dialog->state, Failed);
        EXPECT_EQ(dialog->attempts->phase(), DownloadAttempts::Phase::kFailed);
        dialog.reset();
        EXPECT_EQ(GetFileAttributesA(temp.c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

// What the window shows now at a client point: the pixels of its last paint, with no repaint asked for.
COLORREF OnScreen(HWND hwnd, int x, int y) {
    HDC dc = GetDC(hwnd);
    const COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(hwnd, dc);
    return c;
}

// Tests that every way into Failed paints the failure screen itself, with no mouse move: the state
// changes before the repaint, so the window shows the close glyph and the status text at once.
TEST_F(DialogTest, FailureShowsWithoutAMouseMove) {
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"refused login", [&] { Notify(kNotifyLoginRefused); }},
        {"nothing on offer", [&] { Notify(kNotifyNothingOffered, 5); }},
        {"lost for good", [&] { dialog->OnClientLost(); }},
        {"package or install check", [&] { dialog->ShowFailure(UiText(kTextInstallFail)); }},
    };
    for (const auto& [name, fail] : ways) {
        SCOPED_TRACE(name);
        Open(1033);
        PressInstall();
        ASSERT_EQ(OnScreen(dialog->hwnd, kOnGlyph.x, kOnGlyph.y),
                  PicturePixel(kBusyPictureId, kOnGlyph.x, kOnGlyph.y))
            << "progress screen first";
        fail();
        ASSERT_EQ(dialog->state, Failed);
        EXPECT_EQ(ColourText(OnScreen(dialog->hwnd, kOnGlyph.x, kOnGlyph.y)), ColourText(kGlyphAway));
        bool text = false;
        for (int y = kStatusRect.top; y < kStatusRect.bottom; ++y)
            for (int x = 300; x < kStatusRect.right; ++x)
                text |= OnScreen(dialog->hwnd, x, y) == kStatusTextColour;
        EXPECT_TRUE(text) << "no status text";
    }
}

// Tests Done: picture 103, the button captioned "Open", the glyph, the bar hidden.
TEST_F(DialogTest, DoneShowsOpenButton) {
    ShowBar(4, 4);
    dialog->state = Done;
    ShowWindow(dialog->progressBar->hwnd, SW_HIDE);
    Snapshot shot = Face();
    EXPECT_EQ(shot.At(100, 100), PicturePixel(kIdlePictureId, 100, 100));
    EXPECT_EQ(ColourText(shot.At(kOnFace)), ColourText(kFaceAway));
    EXPECT_EQ(ColourText(shot.At(kOnGlyph)), ColourText(kGlyphAway));
    EXPECT_EQ(shot.At(kBarRect.left + 200, kBarRect.top + 7),
              PicturePixel(kIdlePictureId, kBarRect.left + 200, kBarRect.top + 7))
        << "bar hidden";
    Save(shot, "done-en");
}

// Tests that PlaceWindow centres the dialog horizontally on the display under the cursor and places it
// vertically by the primary screen.
TEST_F(DialogTest, PlaceWindowOnSecondDisplay) {
    const int primaryHeight = GetSystemMetrics(SM_CYSCREEN);
    dialog->findCursorMonitor = [](RECT& rect) {
        const DisplayList displays = {DisplayMode{0, 0, 1280, 1024, 96},
                                      DisplayMode{1280, 0, 1920, 1200, 96}};
        FindCursorMonitor(rect, POINT{2000, 300}, displays);
    };
    dialog->PlaceWindow();
    RECT r{};
    GetWindowRect(dialog->hwnd, &r);
    EXPECT_EQ(r.left, 1280 + (1920 - kDialogWidth) / 2);
    EXPECT_EQ(r.top, (primaryHeight - kDialogHeight) / 2);
    EXPECT_EQ(r.right - r.left, kDialogWidth);
    EXPECT_EQ(r.bottom - r.top, kDialogHeight);
}

// Tests that many mouse moves with their repaints leave the process's GDI object count unchanged.
TEST_F(DialogTest, MouseMovesDoNotLeakGdiObjects) {
    auto cycle = [this] {
        for (int i = 0; i < 50; ++i) {
            MoveTo(150 + i * 3, kOnButton.y);
            Face();
            Send(WM_MOUSELEAVE);
            PumpMessages();
        }
    };
    cycle(); // first use creates whatever the system caches
    const size_t before = CountGdiObjects();
    {
        GdiObject<HPEN> probe(CreatePen(PS_SOLID, 1, RGB(1, 2, 3)));
        ASSERT_EQ(CountGdiObjects(), before + 1) << "the count sees one more object";
    }
    cycle();
    dialog->state = Updating;
    cycle();
    dialog->state = Failed;
    cycle();
    EXPECT_EQ(CountGdiObjects(), before);
}

} // namespace
