// File-system calls of the download path. Paths are the program's backslash-separated code page 936
// texts: Windows opens them through the wide calls, the POSIX build maps the whole-character backslashes
// to slashes at this edge only.
#pragma once

#include "app/unique_file.h"

#include <string>

bool LocalPathExists(const std::string& path);
bool LocalMakeFolder(const std::string& path);
UniqueFile LocalOpenFile(const std::string& path, const char* mode);
// Tells the user that a folder could not be created (a message box with caption "提示" on Windows).
void ShowFolderAlert(const std::string& folder);
