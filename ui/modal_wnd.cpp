#include "ui/modal_wnd.h"

#include "ui/shared_gdi.h"

namespace {

HBITMAP LoadPicture(int id) {
    return LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
}

bool IsSystemClose(const MSG& msg) {
    return msg.message == WM_SYSCOMMAND && msg.wParam == SC_CLOSE;
}

} // namespace

TModalWnd::TModalWnd()
    : background(LoadPicture(kIdlePictureId)), busyBackground(LoadPicture(kBusyPictureId)) {}

TModalWnd::~TModalWnd() {
    // A window that outlives its object would call into freed memory.
    if (hwnd)
        DestroyWindow(hwnd);
}

bool TModalWnd::Create() {
    if (!CreateFrameWindow(this, L"TModalWnd", parent, WS_POPUP | WS_CLIPCHILDREN, WS_EX_TOPMOST))
        return false;
    LONG_PTR brush = parent ? GetClassLongPtrW(parent, GCLP_HBRBACKGROUND) : 0;
    SetClassLongPtrW(hwnd, GCLP_HBRBACKGROUND, brush);
    OnCreate();
    return true;
}

bool TModalWnd::DoModal() {
    if (!Create())
        return false; // with no window nothing could ever end the loop
    running = true;
    ShowWindow(hwnd, SW_SHOWNA);
    PlaceWindow();
    RunModalLoop();
    return result != 0;
}

bool TModalWnd::ShouldDispatch(const MSG& msg) const {
    if (msg.message == WM_PAINT || msg.message >= WM_USER)
        return true;
    if (!hwnd || !msg.hwnd)
        return false;
    HWND window = msg.hwnd;
    for (int step = 0; step <= 3 && window; ++step) {
        if (window == hwnd)
            return true;
        window = GetParent(window);
    }
    return false;
}

void TModalWnd::RunModalLoop() {
    MSG msg;
    while (running) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(int(msg.wParam)); // leave the quit for the loop outside
            break;
        }
        if (got < 0)
            break; // an invalid queue never recovers; looping on it would spin forever
        if (IsSystemClose(msg) && msg.lParam == 0) {
            result = 0;
            EndModal();
        } else if (ShouldDispatch(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void TModalWnd::EndModal() {
    running = false;
    if (hwnd)
        DestroyWindow(hwnd);
}

void TModalWnd::CloseFromWindow() {
    result = 0;
    EndModal();
}

POINT TModalWnd::ClientCursor() const {
    POINT cursor{};
    GetCursorPos(&cursor);
    ScreenToClient(hwnd, &cursor);
    return cursor;
}

bool TModalWnd::CursorIn(const RECT& rect) const {
    POINT cursor = ClientCursor();
    return PtInRect(&rect, cursor) != FALSE;
}

void TModalWnd::OnDrawContent(TMemDC&) {}

void PaintPictureBase(HDC dc, const RECT& client, const RECT& caption, HBITMAP picture) {
    GdiObject<HBRUSH> white(CreateSolidBrush(RGB(255, 255, 255)));
    GdiObject<HBRUSH> frame(CreateSolidBrush(RGB(70, 70, 70)));
    GdiObject<HBRUSH> band(CreateSolidBrush(RGB(218, 66, 45)));
    FillRect(dc, &client, white);
    FrameRect(dc, &client, frame);
    FillRect(dc, &caption, band);
    MemoryDC pictureDC(dc);
    SelectGuard select(pictureDC, picture);
    BitBlt(dc, 0, 0, client.right - client.left, client.bottom - client.top, pictureDC, 0, 0, SRCCOPY);
}

void DrawCloseGlyph(HDC dc, const RECT& glyph, COLORREF colour) {
    GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, colour));
    SelectGuard select(dc, pen);
    MoveToEx(dc, glyph.left, glyph.top, nullptr);
    LineTo(dc, glyph.right + 1, glyph.bottom + 1);
    MoveToEx(dc, glyph.left, glyph.bottom, nullptr);
    LineTo(dc, glyph.right + 1, glyph.top - 1);
}

void TModalWnd::PaintFace(TMemDC& dc) {
    RECT client = dc.ClientRect();
    const int w = client.right - client.left;
    SelectGuard font(dc.memDC, textFont);
    SetBkMode(dc.memDC, TRANSPARENT);
    PaintPictureBase(dc.memDC, client, captionRect, background);

    RECT glyph{w - 20, 10, w - 10, 20};
    DrawCloseGlyph(dc.memDC, glyph, closeHover ? RGB(231, 231, 231) : RGB(150, 150, 150));
    closeRect = RECT{glyph.left - 1, glyph.top - 1, glyph.right + 1, glyph.bottom + 1};

    SetTextColor(dc.memDC, RGB(231, 231, 231));
    DrawTextW(dc.memDC, title.c_str(), int(title.size()), &captionRect,
              DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    OnDrawContent(dc);
}

LRESULT TModalWnd::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        GetClientRect(hwnd, &captionRect);
        captionRect.bottom = 30;
        return 0;
    case WM_PAINT: {
        TMemDC dc(hwnd);
        PaintFace(dc);
        return 0;
    }
    case WM_PRINTCLIENT: {
        TMemDC dc(hwnd, reinterpret_cast<HDC>(wParam));
        PaintFace(dc);
        return 0;
    }
    case WM_MOUSEMOVE: {
        TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&track);
        closeHover = CursorIn(closeRect);
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    }
    case WM_LBUTTONDOWN:
        if (wParam == MK_LBUTTON && !CursorIn(closeRect))
            PostMessageW(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, lParam);
        return 0;
    case WM_LBUTTONUP:
        if (CursorIn(closeRect)) {
            result = 0;
            EndModal();
        }
        return 0;
    case WM_MOUSELEAVE:
        closeHover = false;
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_CLOSE:
        // Default processing would destroy the window behind the loop's back and leave it waiting.
        CloseFromWindow();
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE) {
            CloseFromWindow();
            return 0;
        }
        return kNotHandled;
    default:
        return kNotHandled;
    }
}
