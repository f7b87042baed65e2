// Binds a C++ object to a window: the window procedure finds the object in the window's extra bytes and
// hands it every message.
#pragma once

#include <windows.h>

// WndProc's answer for "not handled here": the message gets default processing.
constexpr LRESULT kNotHandled = -1;

class TIxFrm {
  public:
    TIxFrm() = default;
    TIxFrm(const TIxFrm&) = delete;
    TIxFrm& operator=(const TIxFrm&) = delete;
    virtual ~TIxFrm() = default;

    // Returns kNotHandled for default processing; any other value is the message's result.
    virtual LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    HWND hwnd = nullptr; // set on WM_NCCREATE, cleared when the window is gone
};

LRESULT CALLBACK FrameWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Registers the class (a second registration of the same name keeps the first) and creates the window
// at 0,0 with size 0 by 0 for the object; the caller places it.
HWND CreateFrameWindow(TIxFrm* object, const wchar_t* className, HWND parent, DWORD style, DWORD exStyle);
