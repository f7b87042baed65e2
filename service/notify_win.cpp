#include "service/notify_win.h"

std::atomic<HWND> notifyWindow{nullptr};

// One load each: the interface thread may clear the handle between a test and the call.
void PostNotify(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (HWND target = notifyWindow.load())
        PostMessageW(target, message, wParam, lParam);
}

void SendNotify(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (HWND target = notifyWindow.load())
        SendMessageW(target, message, wParam, lParam);
}

bool NotifyTargetSet() {
    return notifyWindow.load() != nullptr;
}
