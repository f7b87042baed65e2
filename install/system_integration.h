// Copy into place, registration, shortcut, configuration and launch of the installed terminal.
#pragma once

#include <string>

bool RunCommandAndWait(char* commandLine);
bool IsNative64Bit();
int WriteUninstallEntry();
bool CreateDesktopShortcut();
void WriteConfigFiles();
bool LaunchTerminal();
