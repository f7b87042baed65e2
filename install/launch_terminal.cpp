#include "install/system_integration.h"

#include "core/install_settings.h"
#include "install/win_raii.h"

#include <windows.h>

#include <string>

namespace {
constexpr size_t kWideUnits = 2048;
}

bool LaunchTerminal() {
    const std::wstring& current = GetInstallSettings().InstallDir;
    if (current.empty() || current.size() > kWideUnits)
        return false;
    std::wstring command = L"\"" + current + L"\\TalvikTradeSafe.exe\" end";

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                                  nullptr, current.c_str(), &startup, &info);
    if (started) {
        // The terminal lives on after the installer; only our handles to it end here.
        install::UniqueHandle process(info.hProcess);
        install::UniqueHandle thread(info.hThread);
    }
    return started != FALSE;
}
