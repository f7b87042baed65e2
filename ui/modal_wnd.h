// A borderless, always-on-top window with a painted caption band and a drawn close glyph, run by its own
// modal message loop. Interface thread only.
#pragma once

#include "ui/gdi_handles.h"
#include "ui/ix_frm.h"
#include "ui/mem_dc.h"

#include <cstdint>
#include <string>

// Bitmap resources of the two pictures (500 by 310, 24 bits).
constexpr int kIdlePictureId = 103;
constexpr int kBusyPictureId = 110;

class TModalWnd : public TIxFrm {
  public:
    TModalWnd();
    ~TModalWnd() override;

    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // Called once after the window exists, before it is shown.
    virtual void OnCreate() = 0;
    // Sizes and places the window; called right after it is shown.
    virtual void PlaceWindow() = 0;
    // Hook for drawing into the paint buffer after the base face.
    virtual void OnDrawContent(TMemDC& dc);
    // Ends the modal loop and destroys the window.
    virtual void EndModal();

    // Creates, shows and runs the window until EndModal; true when result is not 0.
    bool DoModal();
    // The first part of DoModal: the window exists and OnCreate has run; it is not shown yet. False,
    // without OnCreate, when the window cannot be created.
    bool Create();
    // The loop of DoModal; returns when running is cleared or the thread's queue is quitting.
    void RunModalLoop();
    // Whether the loop hands this queued message to its window.
    bool ShouldDispatch(const MSG& msg) const;

    std::wstring title;
    HWND parent = nullptr;
    GdiObject<HBITMAP> background;
    GdiObject<HBITMAP> busyBackground;
    RECT captionRect{};
    RECT closeRect{};
    bool closeHover = false;
    int32_t result = 1;
    bool running = false;
    int32_t glyphSize = 25;

  protected:
    // The whole face of one paint, into the buffer (WM_PAINT, and WM_PRINTCLIENT for snapshots).
    virtual void PaintFace(TMemDC& dc);
    // The cursor in client coordinates, from the cursor position rather than lParam.
    POINT ClientCursor() const;
    bool CursorIn(const RECT& rect) const;
    // A close that did not come through the loop's own test (WM_CLOSE, a dispatched system close).
    void CloseFromWindow();
};

// The 1-pixel frame and the caption band drawn under the picture, and the picture itself.
void PaintPictureBase(HDC dc, const RECT& client, const RECT& caption, HBITMAP picture);
// Draws the two strokes of the close glyph in the given rectangle.
void DrawCloseGlyph(HDC dc, const RECT& glyph, COLORREF colour);
