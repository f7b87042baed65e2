// Tests that the window framework binds objects to windows and that its modal loop ends, dispatches and
// drops messages as a modal window must.
#include "tests/ui/snapshot.h"
#include "ui/modal_wnd.h"
#include "ui/shared_gdi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

constexpr UINT kSafetyStop = WM_USER + 50; // ends a loop that a fault would otherwise leave running
constexpr UINT kProbe = WM_USER + 5;

// A plain framed window that records what reaches it.
class Recorder : public TIxFrm {
  public:
    LRESULT WndProc(UINT message, WPARAM, LPARAM) override {
        seen.push_back(message);
        if (message == WM_PAINT) {
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            EndPaint(hwnd, &ps);
            if (onPaint)
                onPaint();
            return 0;
        }
        return kNotHandled;
    }
    bool Saw(UINT message) const { return std::find(seen.begin(), seen.end(), message) != seen.end(); }

    std::vector<UINT> seen;
    std::function<void()> onPaint;
};

class ProbeModal : public TModalWnd {
  public:
    void OnCreate() override {
        if (onCreate)
            onCreate(*this);
    }
    void PlaceWindow() override { MoveWindow(hwnd, 100, 100, 300, 200, TRUE); }

    std::function<void(ProbeModal&)> onCreate;
};

// A window of its own that ends a modal loop which a fault left running, so such a fault fails the test
// instead of hanging it. Messages in the WM_USER range reach it whatever the loop drops.
class SafetyStop : public TIxFrm {
  public:
    explicit SafetyStop(ProbeModal& modal) : modal_(modal) {
        CreateFrameWindow(this, L"OrvaneSafetyStop", HWND_MESSAGE, 0, 0);
    }
    ~SafetyStop() override {
        if (hwnd)
            DestroyWindow(hwnd);
    }
    LRESULT WndProc(UINT message, WPARAM, LPARAM) override {
        if (message != kSafetyStop)
            return kNotHandled;
        used = true;
        modal_.running = false;
        return 0;
    }
    void Arm() { PostMessageW(hwnd, kSafetyStop, 0, 0); }

    bool used = false;

  private:
    ProbeModal& modal_;
};

class FrameTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreateSharedGdi(); }
    static void TearDownTestSuite() { DeleteSharedGdi(); }
    void TearDown() override { PumpMessages(); }
};

// Tests that WM_NCCREATE binds the object, every later message reaches it, and the binding is cut when
// the window is destroyed.
TEST_F(FrameTest, BindsObjectUntilWindowIsGone) {
    Recorder recorder;
    HWND window = CreateFrameWindow(&recorder, L"OrvaneRecorder", nullptr, WS_POPUP, 0);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(recorder.hwnd, window);
    EXPECT_TRUE(recorder.Saw(WM_NCCREATE));
    SendMessageW(window, kProbe, 0, 0);
    EXPECT_TRUE(recorder.Saw(kProbe));
    RECT rect{};
    GetWindowRect(window, &rect);
    EXPECT_EQ(rect.right - rect.left, 0) << "created without a size; the caller places it";
    DestroyWindow(window);
    EXPECT_EQ(recorder.hwnd, nullptr);
    EXPECT_EQ(GetWindowLongPtrW(window, 0), 0);
}

// Tests that a posted system close with lParam 0 ends the loop through EndModal with result 0.
TEST_F(FrameTest, SystemCloseWithZeroLParamEndsLoop) {
    ProbeModal modal;
    SafetyStop safety(modal);
    modal.onCreate = [&safety](ProbeModal& m) {
        PostMessageW(m.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        safety.Arm();
    };
    EXPECT_FALSE(modal.DoModal());
    EXPECT_EQ(modal.result, 0);
    EXPECT_FALSE(safety.used);
    EXPECT_EQ(modal.hwnd, nullptr);
}

// Tests that a system close with another lParam, and WM_CLOSE, reach the window and still end the loop
// instead of destroying the window behind it.
TEST_F(FrameTest, DispatchedClosesEndLoop) {
    for (UINT message : {UINT(WM_SYSCOMMAND), UINT(WM_CLOSE)}) {
        ProbeModal modal;
        SafetyStop safety(modal);
        modal.onCreate = [message, &safety](ProbeModal& m) {
            if (message == WM_SYSCOMMAND)
                PostMessageW(m.hwnd, WM_SYSCOMMAND, SC_CLOSE, MAKELPARAM(10, 10));
            else
                PostMessageW(m.hwnd, WM_CLOSE, 0, 0);
            safety.Arm();
        };
        EXPECT_FALSE(modal.DoModal()) << message;
        EXPECT_FALSE(safety.used) << message;
        EXPECT_EQ(modal.hwnd, nullptr) << message;
    }
}

// Tests that when the window cannot be created DoModal returns at once, without OnCreate or a loop that
// nothing could end.
TEST_F(FrameTest, DoModalWithoutWindowReturns) {
    ProbeModal modal;
    modal.parent = reinterpret_cast<HWND>(0x7654); // no such window: creation fails
    bool created = false;
    modal.onCreate = [&created](ProbeModal&) { created = true; };
    SafetyStop safety(modal);
    safety.Arm();
    EXPECT_FALSE(modal.DoModal());
    EXPECT_FALSE(created);
    EXPECT_FALSE(safety.used);
}

// Tests that input for a foreign window is dropped, input for a descendant is dispatched, and WM_PAINT
// and WM_USER-range messages reach any window of the thread.
TEST_F(FrameTest, LoopDropsForeignInputOnly) {
    Recorder foreign;
    HWND foreignWindow =
        CreateFrameWindow(&foreign, L"OrvaneRecorder", nullptr, WS_POPUP | WS_VISIBLE, WS_EX_NOACTIVATE);
    SetWindowPos(foreignWindow, nullptr, 0, 0, 20, 20, SWP_NOZORDER | SWP_NOACTIVATE);
    PumpMessages();
    Recorder child;
    Recorder grandchild;

    ProbeModal modal;
    modal.onCreate = [&](ProbeModal& m) {
        CreateFrameWindow(&child, L"OrvaneRecorder", m.hwnd, WS_CHILD, 0);
        CreateFrameWindow(&grandchild, L"OrvaneRecorder", child.hwnd, WS_CHILD, 0);
        PostMessageW(foreignWindow, WM_LBUTTONDOWN, MK_LBUTTON, 0);
        PostMessageW(foreignWindow, WM_KEYDOWN, VK_SPACE, 0);
        PostMessageW(foreignWindow, WM_SYSCOMMAND, SC_CLOSE, 1); // foreign close: dropped, not run
        PostMessageW(foreignWindow, kProbe, 0, 0);
        PostMessageW(grandchild.hwnd, WM_KEYDOWN, VK_SPACE, 0);
        foreign.seen.clear();
        // The paint comes once the queue is empty; only then is the loop ended.
        foreign.onPaint = [&m] { PostMessageW(m.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0); };
        InvalidateRect(foreignWindow, nullptr, FALSE);
    };
    modal.DoModal();
    EXPECT_TRUE(foreign.Saw(kProbe));
    EXPECT_TRUE(foreign.Saw(WM_PAINT));
    EXPECT_FALSE(foreign.Saw(WM_LBUTTONDOWN));
    EXPECT_FALSE(foreign.Saw(WM_KEYDOWN));
    EXPECT_FALSE(foreign.Saw(WM_SYSCOMMAND));
    EXPECT_TRUE(IsWindow(foreignWindow));
    EXPECT_TRUE(grandchild.Saw(WM_KEYDOWN));
    DestroyWindow(foreignWindow);
}

// Drives one press on a shown probe window with the cursor at a client point; true when a drag started.
bool PressStartsDrag(ProbeModal& modal, POINT client, WPARAM keys) {
    POINT screen = client;
    ClientToScreen(modal.hwnd, &screen);
    SetCursorPos(screen.x, screen.y);
    SendMessageW(modal.hwnd, WM_LBUTTONDOWN, keys, MAKELPARAM(client.x, client.y));
    MSG msg;
    return PeekMessageW(&msg, modal.hwnd, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE) &&
           msg.wParam == HTCAPTION;
}

// Tests the base press and release: a plain press drags, Shift or Ctrl does not, the glyph does not drag
// and a release on it closes while a release elsewhere does nothing.
TEST_F(FrameTest, PressDragsAndGlyphReleaseCloses) {
    ProbeModal modal;
    modal.Create();
    modal.running = true;
    ShowWindow(modal.hwnd, SW_SHOWNA);
    modal.PlaceWindow();
    PrintClient(modal.hwnd); // a paint sets the glyph's hit rectangle
    EXPECT_EQ(modal.closeRect.left, 300 - 21);
    EXPECT_EQ(modal.closeRect.top, 9);
    EXPECT_EQ(modal.closeRect.right, 300 - 9);
    EXPECT_EQ(modal.closeRect.bottom, 21);

    EXPECT_TRUE(PressStartsDrag(modal, {150, 100}, MK_LBUTTON));
    EXPECT_FALSE(PressStartsDrag(modal, {150, 100}, MK_LBUTTON | MK_SHIFT));
    EXPECT_FALSE(PressStartsDrag(modal, {150, 100}, MK_LBUTTON | MK_CONTROL));
    EXPECT_FALSE(PressStartsDrag(modal, {285, 15}, MK_LBUTTON));

    POINT elsewhere{150, 100};
    ClientToScreen(modal.hwnd, &elsewhere);
    SetCursorPos(elsewhere.x, elsewhere.y);
    SendMessageW(modal.hwnd, WM_LBUTTONUP, 0, 0);
    EXPECT_TRUE(modal.running);

    POINT glyph{285, 15};
    ClientToScreen(modal.hwnd, &glyph);
    SetCursorPos(glyph.x, glyph.y);
    SendMessageW(modal.hwnd, WM_LBUTTONUP, 0, 0);
    EXPECT_FALSE(modal.running);
    EXPECT_EQ(modal.result, 0);
    EXPECT_EQ(modal.hwnd, nullptr);
}

// Tests the base paint: picture over the whole client, glyph grey with the cursor away.
TEST_F(FrameTest, BasePaintShowsPictureAndGlyph) {
    ProbeModal modal;
    modal.Create();
    ShowWindow(modal.hwnd, SW_SHOWNA);
    modal.PlaceWindow();
    SetCursorPos(0, 0);
    Snapshot shot = PrintClient(modal.hwnd);
    ASSERT_EQ(shot.width, 300);
    // Glyph rectangle 280,10 - 290,20: its first stroke runs through 285,15.
    EXPECT_EQ(ColourText(shot.At(285, 15)), "150,150,150");
    EXPECT_NE(ColourText(shot.At(150, 100)), "255,255,255") << "the picture covers the white fill";
}

} // namespace
