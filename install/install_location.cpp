#include "install/install_location.h"

#include "core/code_page.h"
#include "core/install_settings.h"

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kPackageNoResource = 102;

} // namespace

void GetSpecialFolderPath(int csidl, std::wstring& text) {
    wchar_t path[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        text += path;
}

void InitInstallPaths(InstallSettings& settings) {
    GetSpecialFolderPath(CSIDL_APPDATA, settings.InstallDir);
    wchar_t packageNo[MAX_PATH] = {};
    LoadStringW(GetModuleHandleW(nullptr), kPackageNoResource, packageNo, MAX_PATH);
    settings.InstallDir += L"\\Orvane";
    settings.InstallDir += packageNo;
    settings.InstallDir += L"v8.5";
    settings.TempDir = settings.InstallDir + L"temp";
}

bool DeleteFolder(const std::wstring& path) {
    // An empty source would make the shell act on the current folder; nothing of ours is unnamed.
    if (path.empty() || path.find(L'\0') != std::wstring::npos)
        return false;
    // A missing path fails at once rather than through the shell, whose error messages are not
    // suppressed: the temporary folder is routinely deleted before it has ever existed.
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    std::wstring list = path;
    list.append(2, L'\0'); // one entry, ended by two NULs

    SHFILEOPSTRUCTW op = {};
    op.hwnd = nullptr;
    op.wFunc = FO_DELETE;
    op.pFrom = list.c_str();
    op.pTo = nullptr;
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    return SHFileOperationW(&op) == 0;
}

bool ConvertBig5ToGbk(char* buffer) {
    constexpr int kUnits = 1024;
    constexpr size_t kBuffer = MAX_PATH;
    if (!buffer)
        return true;
    const size_t length = strnlen(buffer, kBuffer - 1);
    buffer[length] = '\0';

    wchar_t wide[kUnits] = {};
    int units = MultiByteToWideChar(code_page::kCodePageBig5, 0, buffer, int(length) + 1, wide, kUnits);
    if (units <= 0)
        return true; // nothing converted: the text stays as it was
    char gbk[kUnits] = {};
    int bytes = WideCharToMultiByte(code_page::kCodePageGbk, 0, wide, units, gbk, kUnits, nullptr, nullptr);
    if (bytes <= 0)
        return true;

    // Keep at most 259 bytes, but never end on the lead byte of a split double-byte character.
    size_t keep = 0;
    while (keep < kBuffer - 1 && gbk[keep] != '\0') {
        size_t width = IsDBCSLeadByteEx(code_page::kCodePageGbk, BYTE(gbk[keep])) ? 2 : 1;
        if (keep + width > kBuffer - 1 || (width == 2 && gbk[keep + 1] == '\0'))
            break;
        keep += width;
    }
    std::memcpy(buffer, gbk, keep);
    buffer[keep] = '\0';
    return true;
}
