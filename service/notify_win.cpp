#include "service/notify.h"

HWND notifyWindow = nullptr;

void PostNotify(uint32_t message, intptr_t lParam) {
    if (notifyWindow)
        PostMessageW(notifyWindow, message, 0, lParam);
}

void SendNotify(uint32_t message, intptr_t lParam) {
    if (notifyWindow)
        SendMessageW(notifyWindow, message, 0, lParam);
}

bool NotifyTargetSet() { return notifyWindow != nullptr; }
