// Copy into place, registration, shortcut, configuration and launch of the installed terminal. All of it
// runs on the interface thread; none of it logs or asks.
#pragma once

#include "core/result.h"

#include <optional>
#include <string>

// Runs program (a full path, never searched for) with the command line, hidden, at idle priority, and
// waits for it to end: its exit code once it ran to its end, else why not (the system's error kept).
Result<unsigned long> RunProgramAndWait(const std::wstring& program, std::wstring commandLine);
// XCOPY from the system folder copies the tree from into the folder to (/S /E /Y /C). Ok when it ran
// and reported success; whether every file arrived is for the caller to check.
Status CopyTree(const std::wstring& from, const std::wstring& to);
// True on AMD64 and IA64 processors.
bool IsNative64Bit();
// The uninstall entry below HKEY_LOCAL_MACHINE: 0 when all six values were written, -1 otherwise.
int WriteUninstallEntry();
// <desktop>\<ProductName>v8.5.lnk to the terminal; false when a path cannot be converted or the link
// was not saved.
bool CreateDesktopShortcut();
// [orvane] package= in config\orvane.Default.pub, language= in config\orvane.Default.pri, the config
// folder made when the package brought none; false when either was not written.
bool WriteConfigFiles();
// Starts the terminal with the argument end, in the install folder. The result of CreateProcessW.
bool LaunchTerminal();

// name in the system folder (GetSystemDirectoryW); empty when the folder cannot be found.
std::wstring SystemProgramPath(const wchar_t* name);
// The command line that has xcopy copy from into the folder to: empty when a path cannot be converted
// or the line would be too long, since a cut command line could copy somewhere else.
std::wstring FormatCopyCommand(const std::wstring& xcopy, const std::wstring& from, const std::wstring& to);
// The desktop link path, the same for the shortcut and the uninstall entry's "Shortcut" value.
std::wstring DesktopLinkPath();
// The uninstall entry's parent key for the given architecture answer.
const char* UninstallParentKey(bool native64);

// Lets tests write the entry for the other architecture; nullopt asks the system again.
void SetNative64BitOverrideForTesting(std::optional<bool> native64);
