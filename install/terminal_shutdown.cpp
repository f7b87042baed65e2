#include "install/terminal_shutdown.h"

#include "core/code_page.h"
#include "core/install_settings.h"
#include "core/result.h"
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

HANDLE OpenCandidate(uint32_t pid) {
    return OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
}

ShutdownOpenFn openHook = nullptr;

// The full path of the executable of the process behind the handle, not behind a process id: an id
// can be reused between the snapshot and the open, a handle always names the process it was opened on.
Result<std::wstring> ImagePath(HANDLE process) {
    wchar_t buffer[kFolderUnits + MAX_PATH] = {};
    DWORD size = DWORD(sizeof buffer / sizeof buffer[0]);
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size))
        return Error(ErrorKind::kIo, "no image path", int(GetLastError()));
    return std::wstring(buffer, size);
}

// The first process in snapshot order named like the terminal whose image, checked on the opened
// handle, is exactly expected. The handle is returned open; it is the only way the process is touched.
bool OpenTarget(const std::wstring& expected, install::UniqueHandle& target) {
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
        install::UniqueHandle process(openHook ? openHook(entry.th32ProcessID)
                                               : OpenCandidate(entry.th32ProcessID));
        if (!process.Valid())
            continue;
        if (const auto path = ImagePath(process.Get()); path && *path == expected) {
            target.Reset(process.Release());
            return true;
        }
    }
    return false;
}

} // namespace

void SetShutdownOpenForTesting(ShutdownOpenFn open) {
    openHook = open;
}

void SetShutdownSleepForTesting(ShutdownSleepFn sleep) {
    sleepHook = sleep;
}

int StopRunningTerminal() {
    // A folder too long for the path buffer leaves just "\name", which no process path equals.
    std::wstring expected = GetInstallSettings().InstallDir;
    if (expected.size() + 1 >= kFolderUnits)
        expected.clear();
    expected += L'\\';
    expected += kTerminalName;

    {
        install::UniqueHandle process;
        if (!OpenTarget(expected, process))
            return 0;
        TerminateProcess(process.Get(), 0);
        WaitForSingleObject(process.Get(), kExitWaitMs);
    }
    // Give the system time to release the terminal's files before they are replaced.
    if (sleepHook)
        sleepHook(kSettleMs);
    else
        Sleep(kSettleMs);
    return 0;
}
