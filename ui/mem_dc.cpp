#include "ui/mem_dc.h"

TMemDC::TMemDC(HWND window) : hwnd(window), painting_(true) {
    paintDC = BeginPaint(window, &paint);
    CreateBuffer();
}

TMemDC::TMemDC(HWND window, HDC target) : paintDC(target), hwnd(window) {
    CreateBuffer();
}

void TMemDC::CreateBuffer() {
    SetBkMode(paintDC, TRANSPARENT);
    RECT client = ClientRect();
    memDC = CreateCompatibleDC(paintDC);
    bitmap = CreateCompatibleBitmap(paintDC, client.right - client.left, client.bottom - client.top);
    previousBitmap_ = SelectObject(memDC, bitmap);
    blit = true;
}

RECT TMemDC::ClientRect() const {
    RECT client{};
    GetClientRect(hwnd, &client);
    return client;
}

TMemDC::~TMemDC() {
    if (blit) {
        RECT client = ClientRect();
        BitBlt(paintDC, 0, 0, client.right - client.left, client.bottom - client.top, memDC, 0, 0, SRCCOPY);
    }
    // The bitmap can only be deleted once it is no longer selected.
    if (previousBitmap_)
        SelectObject(memDC, previousBitmap_);
    DeleteDC(memDC);
    DeleteObject(bitmap);
    if (painting_)
        EndPaint(hwnd, &paint);
}
