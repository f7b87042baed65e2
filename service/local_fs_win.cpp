#include "service/local_fs.h"

#include "core/code_page.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string_view>

// Names below the folder are code page 936 texts whatever the system's own code page is: the wide calls
// with a 936 conversion make a name like 誠 (D5 5C) one character on every system, as the install's own
// copy and check read it.
std::wstring LocalWidePath(const LocalPath& path) {
    if (path.folder.empty())
        return {};
    if (path.relative.empty())
        return path.folder;
    const std::wstring below = code_page::WideFromGbk(
        path.relative, code_page::kAnyLength, code_page::Overflow::Refuse, code_page::Conversion::Strict);
    if (below.empty())
        return {};
    return path.folder + L"\\" + below;
}

bool LocalPathExists(const LocalPath& path) {
    const std::wstring w = LocalWidePath(path);
    return !w.empty() && GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::filesystem::path LocalFolder(const std::wstring& folder) {
    // The wide form throughout: a profile folder's name need not fit the system's code page.
    return std::filesystem::path(folder);
}

Status LocalMakeFolder(const LocalPath& path) {
    const std::wstring w = LocalWidePath(path);
    if (w.empty())
        return Error(ErrorKind::kInvalid, "not a code page 936 name: " + LocalPathText(path));
    if (CreateDirectoryW(w.c_str(), nullptr))
        return Ok();
    const int code = int(GetLastError()); // before the message's text is made
    return Error(ErrorKind::kIo, "cannot create " + LocalPathText(path), code);
}

UniqueFile LocalOpenFile(const LocalPath& path, const char* mode) {
    const std::wstring w = LocalWidePath(path);
    const std::wstring m = code_page::WideFromGbk(mode, code_page::kAnyLength);
    if (w.empty() || m.empty())
        return UniqueFile();
    return UniqueFile(_wfopen(w.c_str(), m.c_str()));
}

std::string LocalPathText(const LocalPath& path) {
    std::string text = code_page::GbkFromWide(path.folder);
    if (!path.relative.empty())
        text += "\\" + path.relative;
    return text;
}

namespace {
std::atomic<bool> folderAlertsShown{true};
} // namespace

void SetFolderAlertsShown(bool shown) {
    folderAlertsShown.store(shown);
}

void ShowFolderAlert(const LocalPath& folder) {
    if (!folderAlertsShown.load())
        return;
    // Caption "提示".
    std::wstring text = LocalWidePath(folder);
    if (text.empty())
        text = L"?";
    MessageBoxW(nullptr, text.c_str(), L"\u63d0\u793a", MB_OK);
}
