// Folder creation and the joining of archive entry names onto a target folder. An archive is input
// from outside: its names must not lead anywhere but below the folder it is extracted into. Names are
// code page 936 and reach the system in UTF-16, so a double-byte character whose second byte is 0x5C
// names one file on every system code page instead of a folder and a file.
#include "core/code_page.h"
#include "install/tunzip.h"
#include "service/path_policy.h"

#include <windows.h>

#include <string>

namespace {

constexpr size_t kPathUnits = MAX_PATH; // 259 characters and the NUL
constexpr size_t kWideUnits = 1024;

// The path as the system resolves it; empty when it cannot.
std::wstring FullPath(const std::wstring& path) {
    if (path.empty() || path.size() >= kWideUnits)
        return {};
    wchar_t buffer[kWideUnits] = {};
    DWORD n = GetFullPathNameW(path.c_str(), kWideUnits, buffer, nullptr);
    if (n == 0 || n >= kWideUnits)
        return {};
    return buffer;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

} // namespace

bool TUnzip::CreateFolder(const std::wstring& path) {
    if (path.empty())
        return false;
    // The part of the path that is taken to exist: a drive ("C:") or a network share ("\\host\share").
    // A path rooted at "\" or a relative one has no such part, so its first folder is created too.
    size_t at = 0;
    if (path.size() >= 2 && path[1] == L':') {
        at = 2;
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        at = 2;
        for (int part = 0; part < 2 && at != std::wstring::npos; ++part)
            at = path.find_first_of(L"\\/", at + 1);
        if (at == std::wstring::npos)
            return true;
    }
    while (at < path.size()) {
        size_t end = path.find_first_of(L"\\/", at);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > at && !(end == at + 1 && path[at] == L'.')) {
            const std::wstring prefix = path.substr(0, end);
            if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
        }
        at = end + 1;
    }
    return true;
}

Result<std::wstring> JoinEntryPath(const std::wstring& folder, const char* entryName) {
    if (folder.empty() || !entryName)
        return Error(ErrorKind::kInvalid, "no folder or no name");
    const std::string name = path_policy::ToBackslashes(entryName);
    path_policy::RelativePathRules archive;
    archive.allowCurrentFolder = true;
    archive.allowTrailingSeparator = true; // a folder entry
    if (const char* refused = path_policy::RefuseRelativePath(name, archive))
        return Error(ErrorKind::kInvalid, refused);
    // Each byte must be part of a character: a stray byte converts to whatever the system likes.
    const std::wstring wideName =
        code_page::WideFromGbk(name, kWideUnits, code_page::Overflow::Refuse, code_page::Conversion::Strict);
    if (wideName.empty())
        return Error(ErrorKind::kInvalid, "not a code page 936 name");

    std::wstring joined = folder;
    if (!IsSeparator(joined.back()))
        joined += L'\\';
    joined += wideName;
    if (joined.size() >= kPathUnits)
        return Error(ErrorKind::kInvalid, "path too long"); // cut short it would name another file

    // The same question asked of the system: whatever the name does, its full path stays below folder.
    std::wstring base = FullPath(folder);
    const std::wstring full = FullPath(joined);
    if (base.empty() || full.empty())
        return Error(ErrorKind::kInvalid, "no full path");
    if (base.back() != L'\\')
        base += L'\\';
    if (full.size() <= base.size() || full.compare(0, base.size(), base) != 0)
        return Error(ErrorKind::kInvalid, "outside the folder");
    return joined;
}
