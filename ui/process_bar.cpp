#include "ui/process_bar.h"

#include "ui/mem_dc.h"
#include "ui/shared_gdi.h"

TProcess::TProcess()
    : fillPen(CreatePen(PS_SOLID, 1, RGB(109, 185, 243))), fillBrush(CreateSolidBrush(RGB(84, 165, 228))) {}

HWND CreateProcessWindow(TProcess& bar, HWND parent) {
    return CreateFrameWindow(&bar, L"TProcess", parent, WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0);
}

int TProcess::FillRight(const RECT& client, int32_t position, int32_t maximum) {
    if (position <= 0 || position > maximum)
        return -1; // out-of-range numbers draw the empty track; maximum 0 never divides
    const int left = client.left + 3;
    const int right = client.right - 3;
    return int(left + double(right - left) * position / maximum);
}

void TProcess::Paint(HDC dc, const RECT& client) const {
    FillRect(dc, &client, whiteBrush);
    GdiObject<HPEN> trackPen(CreatePen(PS_SOLID, 1, RGB(226, 226, 226)));
    {
        SelectGuard brush(dc, whiteBrush);
        SelectGuard pen(dc, trackPen);
        RoundRect(dc, client.left, client.top, client.right, client.bottom, 12, 12);
    }
    const int right = FillRight(client, position, maximum);
    if (right < 0)
        return;
    RECT inner{client.left + 3, client.top + 3, client.right - 3, client.bottom - 3};
    {
        SelectGuard brush(dc, fillBrush);
        SelectGuard pen(dc, fillPen);
        RoundRect(dc, inner.left, inner.top, right, inner.bottom, 5, 5);
    }
    if (right < inner.right) {
        // Square off the leading end; a full bar keeps both ends rounded.
        RECT strip{right - 4, inner.top, right, inner.bottom};
        FillRect(dc, &strip, fillBrush);
    }
}

LRESULT TProcess::WndProc(UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_PAINT) {
        TMemDC dc(hwnd);
        Paint(dc.memDC, dc.ClientRect());
        return 0;
    }
    if (message == WM_PRINTCLIENT) {
        TMemDC dc(hwnd, reinterpret_cast<HDC>(wParam));
        Paint(dc.memDC, dc.ClientRect());
        return 0;
    }
    return kNotHandled;
}
