#include "service/local_fs.h"

#include "app/code_page.h"

#include <windows.h>

#include <string_view>

namespace {

// Download paths are code page 936 texts whatever the system's own code page is: the wide calls with a
// 936 conversion make a name like 誠 (D5 5C) one character on every system, as the install's own copy
// and check read it. Empty when the text is not code page 936 (the call then fails, nothing is made).
std::wstring Wide(std::string_view text) {
    return code_page::WideFromGbk(text, code_page::kAnyLength, code_page::Overflow::Refuse,
                                  code_page::Conversion::Strict);
}

} // namespace

bool LocalPathExists(const std::string& path) {
    const std::wstring w = Wide(path);
    return !w.empty() && GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool LocalMakeFolder(const std::string& path) {
    const std::wstring w = Wide(path);
    return !w.empty() && CreateDirectoryW(w.c_str(), nullptr) != 0;
}

UniqueFile LocalOpenFile(const std::string& path, const char* mode) {
    const std::wstring w = Wide(path);
    const std::wstring m = Wide(mode);
    if (w.empty() || m.empty())
        return UniqueFile();
    return UniqueFile(_wfopen(w.c_str(), m.c_str()));
}

void ShowFolderAlert(const std::string& folder) {
    // Caption "提示".
    std::wstring text = Wide(folder);
    if (text.empty())
        text = L"?";
    MessageBoxW(nullptr, text.c_str(), L"\u63d0\u793a", MB_OK);
}
