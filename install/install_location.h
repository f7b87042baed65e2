// The install and temporary folders, and the shell operations the install steps share.
#pragma once

#include <string>

struct InstallSettings;

// Fills InstallDir (%APPDATA%\Orvane<package>v8.5) and TempDir (InstallDir + "temp"), in UTF-16: the
// profile folder's name need not fit the system's code page, let alone code page 936.
void InitInstallPaths(InstallSettings& settings);
// Appends the special folder's path (a CSIDL) to text; appends nothing when it cannot be found.
void GetSpecialFolderPath(int csidl, std::wstring& text);
// Deletes a file or a whole folder tree silently; true when the shell reported success.
bool DeleteFolder(const std::wstring& path);
// Re-encodes a NUL-terminated code page 950 text in place as code page 936 (260-byte buffer).
bool ConvertBig5ToGbk(char* buffer);
