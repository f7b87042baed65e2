#include "install/terminal_shutdown.h"

#include "app/install_settings.h"
#include "install/code_page.h"
#include "install/win_raii.h"

#include <windows.h>

#include <tlhelp32.h>

#include <string>

namespace {

constexpr wchar_t kTerminalName[] = L"TalvikTradeSafe.exe";
constexpr size_t kFolderUnits = 2046; // 2045 characters and the NUL
constexpr DWORD kExitWaitMs = 5000;
constexpr DWORD kSettleMs = 2500;

ShutdownSleepFn sleepHook = nullptr;

bool SameNameIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t x = *a, y = *b;
        if (x >= L'A' && x <= L'Z')
            x = wchar_t(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z')
            y = wchar_t(y - L'A' + L'a');
        if (x != y)
            return false;
        if (x == L'\0')
            return true;
    }
}

// The full path of the process's executable: the first module of its module list.
bool ExecutablePath(DWORD pid, std::wstring& path) {
    install::UniqueHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
    if (!modules.Valid())
        return false;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    if (!Module32FirstW(modules.Get(), &module))
        return false;
    module.szExePath[MAX_PATH - 1] = L'\0';
    path = module.szExePath;
    return true;
}

// The first process in snapshot order named like the terminal and started from exactly expected.
bool FindTarget(const std::wstring& expected, DWORD& pid) {
    install::UniqueHandle processes(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!processes.Valid())
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(processes.Get(), &entry); more;
         more = Process32NextW(processes.Get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (!SameNameIgnoringAsciiCase(entry.szExeFile, kTerminalName))
            continue;
        std::wstring path;
        if (ExecutablePath(entry.th32ProcessID, path) && path == expected) {
            pid = entry.th32ProcessID;
            return true;
        }
    }
    return false;
}

} // namespace

void SetShutdownSleepForTesting(ShutdownSleepFn sleep) {
    sleepHook = sleep;
}

int StopRunningTerminal() {
    // A folder too long for the path buffer leaves just "\name", which no process path equals.
    std::wstring expected = install::WideFromGbk(GetInstallSettings().InstallDir, kFolderUnits);
    expected += L'\\';
    expected += kTerminalName;

    DWORD pid = 0;
    if (!FindTarget(expected, pid))
        return 0;

    {
        install::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (process.Valid()) {
            TerminateProcess(process.Get(), 0);
            WaitForSingleObject(process.Get(), kExitWaitMs);
        }
    }
    // Give the system time to release the terminal's files before they are replaced.
    if (sleepHook)
        sleepHook(kSettleMs);
    else
        Sleep(kSettleMs);
    return 0;
}
