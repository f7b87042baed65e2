#include "app/single_instance.h"

#include "core/code_page.h"

#include <windows.h>

std::wstring SingleInstanceName(const std::string& packageNo) {
    return L"Local\\OrvaneSetup_" + code_page::WideFromGbk(packageNo, code_page::kAnyLength);
}

SingleInstance::SingleInstance(const std::string& packageNo) {
    mutex_ = CreateMutexW(nullptr, FALSE, SingleInstanceName(packageNo).c_str());
    first_ = !(mutex_ && GetLastError() == ERROR_ALREADY_EXISTS);
}

SingleInstance::~SingleInstance() {
    if (mutex_)
        CloseHandle(mutex_);
}

bool BringFirstCopyForward() {
    // The dialog's class and its task-bar text (TModalWnd, "Orvane").
    HWND window = FindWindowW(L"TModalWnd", L"Orvane");
    if (!window)
        return false;
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    return true;
}
