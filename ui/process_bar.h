// The main dialog's progress bar: a pale rounded track with a blue fill of position / maximum of it. It
// has no input; the dialog writes the numbers and invalidates it. Interface thread only.
#pragma once

#include "ui/gdi_handles.h"
#include "ui/ix_frm.h"

#include <cstdint>

class TMemDC;

class TProcess : public TIxFrm {
  public:
    TProcess();

    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Draws track and fill into a device context of the given client size.
    void Paint(HDC dc, const RECT& client) const;
    // Right edge of the fill for a track of this size, or -1 when only the track is drawn.
    static int FillRight(const RECT& client, int32_t position, int32_t maximum);

    int32_t maximum = 0;
    int32_t position = -1;
    GdiObject<HPEN> fillPen;
    GdiObject<HBRUSH> fillBrush;
};

// Creates the bar's window: class "TProcess", a visible child of parent at 0,0 with size 0 by 0.
HWND CreateProcessWindow(TProcess& bar, HWND parent);
