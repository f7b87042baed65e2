#include "install/tree_check.h"

#include "core/code_page.h"
#include "install/win_raii.h"

#include <windows.h>

#include <functional>

namespace install {

namespace {

constexpr size_t kWideUnits = 32767;

// Calls visit(relative path, find data) for every entry below root, folders before their contents.
// False when a folder cannot be listed or visit says stop.
bool Walk(const std::wstring& root, const std::wstring& relative,
          const std::function<bool(const std::wstring&, const WIN32_FIND_DATAW&)>& visit) {
    const std::wstring pattern = root + L"\\" + (relative.empty() ? L"" : relative + L"\\") + L"*";
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND; // an empty folder
    struct FindCloser {
        HANDLE h;
        ~FindCloser() { FindClose(h); }
    } closer{find};
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (!visit(path, data))
            return false;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !Walk(root, path, visit))
            return false;
    } while (FindNextFileW(find, &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

} // namespace

bool FolderExists(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsLinkedFolder(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

Status RenameFolder(const std::wstring& from, const std::wstring& to) {
    if (from.empty() || to.empty())
        return Error(ErrorKind::kInvalid, "no folder to rename");
    if (MoveFileExW(from.c_str(), to.c_str(), 0))
        return Ok();
    const int code = int(GetLastError()); // before the message's text is made
    return Error(ErrorKind::kIo, "cannot rename " + code_page::GbkFromWide(from), code);
}

bool TreeInUse(const std::wstring& base) {
    if (base.empty())
        return true;
    bool inUse = false;
    const bool listed = Walk(base, L"", [&](const std::wstring& path, const WIN32_FIND_DATAW& data) {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return true;
        UniqueHandle file(CreateFileW((base + L"\\" + path).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        inUse = !file.Valid();
        return !inUse;
    });
    return inUse || !listed;
}

bool TreeCopiedWhole(const std::wstring& source, const std::wstring& target) {
    if (source.empty() || target.empty())
        return false;
    return Walk(source, L"", [&](const std::wstring& path, const WIN32_FIND_DATAW& data) {
        WIN32_FILE_ATTRIBUTE_DATA copied;
        if (!GetFileAttributesExW((target + L"\\" + path).c_str(), GetFileExInfoStandard, &copied))
            return false;
        const bool folder = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (folder != bool(copied.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return false;
        return folder ||
               (copied.nFileSizeHigh == data.nFileSizeHigh && copied.nFileSizeLow == data.nFileSizeLow);
    });
}

bool ReceivedFilesInPlace(const std::wstring& root, const std::vector<ReceivedFile>& received) {
    if (root.empty())
        return false;
    for (const ReceivedFile& file : received) {
        const std::wstring below = code_page::WideFromGbk(file.path, kWideUnits, code_page::Overflow::Refuse,
                                                          code_page::Conversion::Strict);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (below.empty() ||
            !GetFileAttributesExW((root + L"\\" + below).c_str(), GetFileExInfoStandard, &data))
            return false;
        const uint64_t size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || size != file.size)
            return false;
    }
    return true;
}

} // namespace install
