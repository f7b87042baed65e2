// Copy into place, registration, shortcut, configuration and launch of the installed terminal. All of it
// runs on the interface thread; none of it logs or asks.
#pragma once

#include <optional>
#include <string>

// Runs a command line hidden, at idle priority, and waits for it to end. Always true.
bool RunCommandAndWait(char* commandLine);
// True on AMD64 and IA64 processors.
bool IsNative64Bit();
// The uninstall entry below HKEY_LOCAL_MACHINE: 0 when all six values were written, -1 otherwise.
int WriteUninstallEntry();
// <desktop>\<ProductName>v8.5.lnk to the terminal; false only when a path cannot be converted.
bool CreateDesktopShortcut();
// [orvane] package= in config\orvane.Default.pub, language= in config\orvane.Default.pri.
void WriteConfigFiles();
// Starts the terminal with the argument end, in the install folder. The result of CreateProcessW.
bool LaunchTerminal();

// The XCOPY command that copies from into to (a folder); empty when it would not fit the 1024-byte
// command buffer, since a cut command line could copy somewhere else.
std::string FormatCopyCommand(const std::string& from, const std::string& to);
// The desktop link path, the same for the shortcut and the uninstall entry's "Shortcut" value.
std::string DesktopLinkPath();
// The uninstall entry's parent key for the given architecture answer.
const char* UninstallParentKey(bool native64);

// Lets tests write the entry for the other architecture; nullopt asks the system again.
void SetNative64BitOverrideForTesting(std::optional<bool> native64);
