#include "ui/ix_frm.h"

LRESULT CALLBACK FrameWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TIxFrm* object = nullptr;
    if (message == WM_NCCREATE) {
        object = static_cast<TIxFrm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (object) {
            object->hwnd = window;
            SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(object));
        }
    } else {
        object = reinterpret_cast<TIxFrm*>(GetWindowLongPtrW(window, 0));
    }
    if (!object)
        return DefWindowProcW(window, message, wParam, lParam);

    LRESULT result = object->WndProc(message, wParam, lParam);
    if (result == kNotHandled)
        result = DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The window is gone: neither side may reach the other any more.
        SetWindowLongPtrW(window, 0, 0);
        object->hwnd = nullptr;
    }
    return result;
}

HWND CreateFrameWindow(TIxFrm* object, const wchar_t* className, HWND parent, DWORD style, DWORD exStyle) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = FrameWindowProc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = module;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = className;
    RegisterClassExW(&wc);
    return CreateWindowExW(exStyle, className, nullptr, style, 0, 0, 0, 0, parent, nullptr, module, object);
}
