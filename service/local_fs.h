// File-system calls of the download path. A path is a folder the system named and, below it, the
// backslash-separated code page 936 names that came off the wire: Windows joins them in UTF-16 (the
// names converted from code page 936, whatever the system's own code page is), the POSIX build maps the
// whole-character backslashes to slashes at this edge only.
#pragma once

#include "core/result.h"
#include "core/unique_file.h"

#include <filesystem>
#include <string>

struct LocalPath {
    std::wstring folder;  // as the system names it (core/wide_path.h)
    std::string relative; // code page 936, backslashes; empty: the folder itself
    bool operator==(const LocalPath&) const = default;
};

#ifdef _WIN32
// The path in UTF-16 for a wide call; empty when a name below the folder is not code page 936.
std::wstring LocalWidePath(const LocalPath& path);
#endif
// The folder as std::filesystem names it.
std::filesystem::path LocalFolder(const std::wstring& folder);
bool LocalPathExists(const LocalPath& path);
// Removes everything in `folder` but the entry named `keep` (ASCII); kIo when something stayed.
Status LocalEmptyFolderExcept(const std::wstring& folder, const char* keep);
// kIo with the system's error when the folder was not made (one that is there already included).
Status LocalMakeFolder(const LocalPath& path);
UniqueFile LocalOpenFile(const LocalPath& path, const char* mode);
// The path as one code page 936 text, for log lines and messages: what that page cannot hold is '?'.
std::string LocalPathText(const LocalPath& path);
// Tells the user that a folder could not be created (a message box with caption "提示" on Windows),
// unless alerts are off: an install nobody watches must not wait for a click; the write fails anyway.
void ShowFolderAlert(const LocalPath& folder);
void SetFolderAlertsShown(bool shown);
