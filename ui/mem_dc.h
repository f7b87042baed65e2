// A double buffer for one paint: everything is drawn into a client-sized memory bitmap and copied to the
// window in one piece when the object goes, so nothing flickers.
#pragma once

#include <windows.h>

class TMemDC {
  public:
    // Around WM_PAINT: BeginPaint now, EndPaint at the end.
    explicit TMemDC(HWND window);
    // Around WM_PRINTCLIENT: the same drawing, copied into the caller's device context instead.
    TMemDC(HWND window, HDC target);
    TMemDC(const TMemDC&) = delete;
    TMemDC& operator=(const TMemDC&) = delete;
    virtual ~TMemDC();

    RECT ClientRect() const;

    HDC memDC = nullptr;
    HDC paintDC = nullptr;
    HBITMAP bitmap = nullptr;
    HWND hwnd = nullptr;
    bool blit = true;
    PAINTSTRUCT paint{};

  private:
    void CreateBuffer();
    HGDIOBJ previousBitmap_ = nullptr;
    bool painting_ = false;
};
