// How the main dialog looks and how it answers the mouse.
#include "app/orvane_dlg.h"

#include "app/ui_texts.h"
#include "core/code_page.h"
#include "install/system_integration.h"
#include "ui/shared_gdi.h"

#include <cwchar>

namespace {

constexpr int kWidth = 500;
constexpr int kHeight = 310;

void DrawWide(HDC dc, const std::wstring& text, RECT rect, UINT flags) {
    DrawTextW(dc, text.c_str(), int(text.size()), &rect, flags);
}

} // namespace

void TOrvaneDlg::PlaceWindow() {
    RECT display = PrimaryScreenRect(); // used as it is when no display reports itself
    findCursorMonitor(display);
    const int x = display.left + ((display.right - display.left) - kWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
    MoveWindow(hwnd, x, y, kWidth, kHeight, TRUE);
}

void TOrvaneDlg::Layout() {
    RECT client{};
    GetClientRect(hwnd, &client);
    const int w = client.right - client.left;
    const int h = client.bottom - client.top;
    captionRect = client;
    captionRect.bottom = 30;
    buttonRect = RECT{200, h - 108, 300, h - 72};
    statusRect = RECT{w - 468, h - 76, w - 34, h - 56};
    busyTextRect = RECT{181, 96, 381, 123};
}

RECT TOrvaneDlg::GlyphRect(int width) const {
    const int n = glyphSize;
    const int left = width - 2 * n / 3;
    return RECT{left, n / 3, left + n / 3, 2 * (n / 3)};
}

void TOrvaneDlg::PaintFace(TMemDC& dc) {
    RECT client = dc.ClientRect();
    HDC mem = dc.memDC;
    SetBkMode(mem, TRANSPARENT);
    const bool busy = state == Updating || state == Failed;
    PaintPictureBase(mem, client, captionRect, busy ? busyBackground : background);

    if (state != Updating || Waiting()) {
        RECT glyph = GlyphRect(client.right - client.left);
        DrawCloseGlyph(mem, glyph, closeHover ? RGB(150, 150, 150) : RGB(231, 231, 231));
        closeRect = RECT{glyph.left - 1, glyph.top - 1, glyph.right + 1, glyph.bottom + 1};
    }
    if (state == Ready || state == Done)
        SetTextColor(mem, RGB(231, 231, 231));
    OnDrawContent(dc);
}

void TOrvaneDlg::OnDrawContent(TMemDC& dc) {
    HDC mem = dc.memDC;
    if (state == Ready || state == Done) {
        DrawButton(mem);
        return;
    }
    SetTextColor(mem, RGB(0, 0, 0));
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

    SetTextColor(mem, RGB(255, 255, 255));
    SelectGuard banner(mem, bannerFont);
    // The English line is wider than its 200-pixel rectangle; it runs on over the picture rather than
    // being cut off mid-word. Texts that fit are drawn exactly as without the flag.
    DrawWide(mem, code_page::WideFromGbk(UiText(kTextUpdatingWait), kUiTextUnits, code_page::Overflow::Cut),
             busyTextRect, DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER | DT_NOCLIP);
}

void TOrvaneDlg::DrawButton(HDC dc) {
    GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, RGB(125, 199, 255)));
    GdiObject<HBRUSH> face(CreateSolidBrush(buttonHover ? RGB(55, 142, 210) : RGB(75, 159, 223)));
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
