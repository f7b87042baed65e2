#include "install/install_location.h"

#include "app/code_page.h"
#include "app/install_settings.h"
#include "install/win_raii.h"

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kPackageNoResource = 102;

// The shell's allocator, released with the scope.
class ShellMalloc {
  public:
    ShellMalloc() {
        if (FAILED(SHGetMalloc(&m_)))
            m_ = nullptr;
    }
    ~ShellMalloc() {
        if (m_)
            m_->Release();
    }
    ShellMalloc(const ShellMalloc&) = delete;
    ShellMalloc& operator=(const ShellMalloc&) = delete;
    IMalloc* Get() const { return m_; }

  private:
    IMalloc* m_ = nullptr;
};

} // namespace

void GetSpecialFolderPath(int csidl, std::string& text) {
    ShellMalloc malloc;
    if (!malloc.Get())
        return;
    LPITEMIDLIST items = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &items)) || !items)
        return;
    char path[MAX_PATH] = {};
    if (SHGetPathFromIDListA(items, path))
        text += path;
    malloc.Get()->Free(items);
}

void InitInstallPaths(InstallSettings& settings) {
    GetSpecialFolderPath(CSIDL_APPDATA, settings.InstallDir);
    char packageNo[MAX_PATH] = {};
    LoadStringA(GetModuleHandleW(nullptr), kPackageNoResource, packageNo, sizeof packageNo);
    settings.InstallDir += "\\Orvane";
    settings.InstallDir += packageNo;
    settings.InstallDir += "v8.5";
    settings.TempDir = settings.InstallDir + "temp";
}

bool DeleteFolder(const std::string& path) {
    // An empty source would make the shell act on the current folder; nothing of ours is unnamed.
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    // A missing path fails at once rather than through the shell, whose error messages are not
    // suppressed: the temporary folder is routinely deleted before it has ever existed.
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    std::vector<char> list(path.size() + 2, '\0'); // one entry, ended by two NULs
    std::memcpy(list.data(), path.data(), path.size());

    SHFILEOPSTRUCTA op = {};
    op.hwnd = nullptr;
    op.wFunc = FO_DELETE;
    op.pFrom = list.data();
    op.pTo = nullptr;
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    return SHFileOperationA(&op) == 0;
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
