// How the main dialog looks and how it answers the mouse.
#include "app/orvane_dlg.h"

#include "app/ui_texts.h"
#include "core/code_page.h"
#include "dialog_shapes.h" // generated from app/dialog_shapes.json
#include "install/system_integration.h"
#include "ui/shared_gdi.h"

#include <cwchar>

using namespace dialog_face;

namespace {

RECT Moved(RECT rect, int dx, int dy) {
    OffsetRect(&rect, dx, dy);
    return rect;
}

void DrawWide(HDC dc, const std::wstring& text, RECT rect, UINT flags) {
    DrawTextW(dc, text.c_str(), int(text.size()), &rect, flags);
}

} // namespace

void TOrvaneDlg::PlaceWindow() {
    RECT display = PrimaryScreenRect(); // used as it is when no display reports itself
    findCursorMonitor(display);
    const int x = display.left + ((display.right - display.left) - kDialogWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kDialogHeight) / 2;
    MoveWindow(hwnd, x, y, kDialogWidth, kDialogHeight, TRUE);
}

void TOrvaneDlg::Layout() {
    RECT client{};
    GetClientRect(hwnd, &client);
    // The shapes are for the client PlaceWindow makes; one of another size (before it) keeps the button's
    // and the status line's distance from the bottom edge, and the status line's from the right one.
    const int dx = (client.right - client.left) - kDialogWidth;
    const int dy = (client.bottom - client.top) - kDialogHeight;
    captionRect = client;
    captionRect.bottom = kCaptionHeight;
    buttonRect = Moved(kButtonRect, 0, dy);
    statusRect = Moved(kStatusRect, dx, dy);
    busyTextRect = kBusyTextRect;
}

RECT TOrvaneDlg::GlyphRect(int width) const {
    return Moved(kCloseGlyphRect, width - kDialogWidth, 0);
}

void TOrvaneDlg::PaintFace(TMemDC& dc) {
    RECT client = dc.ClientRect();
    HDC mem = dc.memDC;
    SetBkMode(mem, TRANSPARENT);
    const bool busy = state == Updating || state == Failed;
    PaintPictureBase(mem, client, captionRect, busy ? busyBackground : background);

    if (state != Updating || Waiting()) {
        const int width = client.right - client.left;
        DrawCloseGlyph(mem, GlyphRect(width), closeHover ? kGlyphHoverColour : kGlyphColour);
        closeRect = Moved(kCloseHitRect, width - kDialogWidth, 0);
    }
    if (state == Ready || state == Done)
        SetTextColor(mem, kButtonCaptionColour);
    OnDrawContent(dc);
}

void TOrvaneDlg::OnDrawContent(TMemDC& dc) {
    HDC mem = dc.memDC;
    if (state == Ready || state == Done) {
        DrawButton(mem);
        return;
    }
    SetTextColor(mem, kStatusTextColour);
    SelectGuard font(mem, textFont);
    if (state == Failed) {
        // Without DT_SINGLELINE the bottom flag does not apply: the text sits at the top, right-aligned.
        DrawWide(mem, statusText, statusRect, DT_RIGHT | DT_BOTTOM);
        return;
    }
    wchar_t percent[260];
    std::swprintf(percent, 260, L"%d%%", ProgressPercent(doneCount, totalCount));
    DrawWide(mem, percent, statusRect, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
    // While the next attempt is awaited, the line says so in place of the file line.
    DrawWide(mem,
             Waiting()
                 ? waitText
                 : code_page::WideFromGbk(UiText(kTextUpdatingFile), kUiTextUnits, code_page::Overflow::Cut),
             statusRect, DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER);

    SetTextColor(mem, kBannerColour);
    SelectGuard banner(mem, bannerFont);
    // The English line is wider than its 200-pixel rectangle; it runs on over the picture rather than
    // being cut off mid-word. Texts that fit are drawn exactly as without the flag.
    DrawWide(mem, code_page::WideFromGbk(UiText(kTextUpdatingWait), kUiTextUnits, code_page::Overflow::Cut),
             busyTextRect, DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER | DT_NOCLIP);
}

void TOrvaneDlg::DrawButton(HDC dc) {
    GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, kButtonBorderColour));
    GdiObject<HBRUSH> face(CreateSolidBrush(buttonHover ? kButtonFaceHoverColour : kButtonFaceColour));
    {
        SelectGuard selectPen(dc, pen);
        SelectGuard selectBrush(dc, face);
        RoundRect(dc, buttonRect.left, buttonRect.top, buttonRect.right, buttonRect.bottom, 5, 5);
    }
    const char* caption = UiText(state == Done ? kTextOpen : kTextInstall);
    // The caption sits a pixel high and drops to the centre under the cursor: a pressed look.
    RECT text = buttonRect;
    OffsetRect(&text, 0, buttonHover ? 0 : -1);
    SelectGuard font(dc, buttonFont);
    DrawWide(dc, code_page::WideFromGbk(caption, kUiTextUnits, code_page::Overflow::Cut), text,
             DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}

void TOrvaneDlg::OnMouseMove() {
    buttonHover = false;
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd, 0};
    TrackMouseEvent(&track);
    if (CursorIn(buttonRect))
        buttonHover = true;
    closeHover = CursorIn(closeRect);
    InvalidateRect(hwnd, nullptr, FALSE);
}

void TOrvaneDlg::OnPress(WPARAM wParam, LPARAM lParam) {
    if (!CursorIn(buttonRect)) {
        TModalWnd::WndProc(WM_LBUTTONDOWN, wParam, lParam); // the face drags the window
        return;
    }
    if (state == Ready) {
        OnButtonClick();
    } else if (state == Done) {
        ShowWindow(hwnd, SW_HIDE);
        LaunchTerminal();
        EndModal();
    }
}

void TOrvaneDlg::OnRelease() {
    if ((state != Updating || Waiting()) && CursorIn(closeRect))
        EndModal();
}
