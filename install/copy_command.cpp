// The copy of the downloaded tree into the install folder. XCOPY is started by its full path in the
// system folder, with no shell in between: nothing is looked up in the installer's or the current
// folder (where a planted cmd.exe or xcopy.exe would run with administrator rights), and no %NAME% in a
// folder name is expanded.
#include "install/system_integration.h"

#include "install/win_raii.h"

#include <windows.h>

#include <string>

namespace {

constexpr size_t kCommandUnits = 32767; // CreateProcessW's own limit, terminator included

} // namespace

std::wstring SystemProgramPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return {};
    std::wstring path(folder, n);
    if (path.back() != L'\\')
        path += L'\\';
    return path + name;
}

std::wstring FormatCopyCommand(const std::wstring& xcopy, const std::wstring& source,
                               const std::wstring& target) {
    if (xcopy.empty() || source.empty() || target.empty())
        return {};
    // The destination ends in two backslashes before its closing quote: read by the C runtime's rules
    // that is one backslash and the quote, read literally it is a folder path all the same; a single
    // backslash would escape the quote for the former.
    std::wstring command = L"\"" + xcopy + L"\" \"" + source + L"\" \"" + target + L"\\\\\" /S /E /Y /C";
    if (command.size() + 1 > kCommandUnits)
        return {};
    return command;
}

Result<unsigned long> RunProgramAndWait(const std::wstring& program, std::wstring commandLine) {
    if (program.empty() || commandLine.empty())
        return Error(ErrorKind::kInvalid, "no program or no command line");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    // The program's own folder as its current folder: the installer's folder is not searched for
    // anything the copy loads.
    const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, IDLE_PRIORITY_CLASS,
                        nullptr, folder.c_str(), &startup, &info))
        return Error(ErrorKind::kIo, "cannot start the program", int(GetLastError()));
    install::UniqueHandle process(info.hProcess);
    install::UniqueHandle thread(info.hThread);
    if (WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0)
        return Error(ErrorKind::kIo, "cannot wait for the program", int(GetLastError()));
    DWORD code = 0;
    if (!GetExitCodeProcess(process.Get(), &code))
        return Error(ErrorKind::kIo, "no exit code of the program", int(GetLastError()));
    return static_cast<unsigned long>(code);
}

Status CopyTree(const std::wstring& from, const std::wstring& to) {
    const std::wstring xcopy = SystemProgramPath(L"xcopy.exe");
    const std::wstring command = FormatCopyCommand(xcopy, from, to);
    const auto code = RunProgramAndWait(xcopy, command);
    if (!code)
        return code.error().WithContext("xcopy: ");
    // XCOPY's /C goes on past errors, so a zero exit is not proof; the caller checks the copy itself.
    if (*code != 0)
        return Error(ErrorKind::kIo, "xcopy ended with " + std::to_string(*code));
    return Ok();
}
