// Folder creation and the joining of archive entry names onto a target folder. An archive is input
// from outside: its names must not lead anywhere but below the folder it is extracted into. Names are
// code page 936 and reach the system in UTF-16, so a double-byte character whose second byte is 0x5C
// names one file on every system code page instead of a folder and a file.
#include "app/code_page.h"
#include "install/tunzip.h"
#include "service/path_policy.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kPathBytes = MAX_PATH; // 259 characters and the NUL
constexpr size_t kWideUnits = 1024;

std::vector<std::string> NonEmptyComponents(const std::string& path) {
    std::vector<std::string> parts;
    for (std::string_view part : path_policy::SplitComponents(path))
        if (!part.empty())
            parts.emplace_back(part);
    return parts;
}

bool FullPath(const std::string& path, std::wstring& full) {
    const std::wstring wide = code_page::WideFromGbk(path, kWideUnits);
    if (wide.empty())
        return false;
    wchar_t buffer[kWideUnits] = {};
    DWORD n = GetFullPathNameW(wide.c_str(), kWideUnits, buffer, nullptr);
    if (n == 0 || n >= kWideUnits)
        return false;
    full = buffer;
    return true;
}

} // namespace

bool TUnzip::CreateFolder(const char* path) {
    if (!path)
        return false;
    const std::string text = path_policy::ToBackslashes(path);
    const bool unc = text.rfind("\\\\", 0) == 0;
    const bool rooted = !unc && !text.empty() && text[0] == '\\';
    std::vector<std::string> parts = NonEmptyComponents(text);

    // The part of the path that is taken to exist: a drive ("C:") or a network share ("\\host\share").
    // A path rooted at "\" or a relative one has no such part, so its first folder is created too.
    std::string prefix;
    size_t first = 0;
    if (!parts.empty() && parts[0].size() == 2 && parts[0][1] == ':') {
        prefix = parts[0];
        first = 1;
    } else if (unc) {
        if (parts.size() < 2)
            return true;
        prefix = "\\\\" + parts[0] + "\\" + parts[1];
        first = 2;
    }
    for (size_t i = first; i < parts.size(); ++i) {
        if (!prefix.empty() || rooted)
            prefix += '\\';
        prefix += parts[i];
        const std::wstring wide = code_page::WideFromGbk(prefix, kWideUnits);
        if (wide.empty())
            return false;
        if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

bool JoinEntryPath(const char* folder, const char* entryName, char* target) {
    if (!folder || !entryName || !target)
        return false;
    target[0] = '\0';
    const std::string name = path_policy::ToBackslashes(entryName);
    path_policy::RelativePathRules archive;
    archive.allowCurrentFolder = true;
    archive.allowTrailingSeparator = true; // a folder entry
    if (path_policy::RefuseRelativePath(name, archive))
        return false;
    // Each byte must be part of a character: a stray byte converts to whatever the system likes.
    if (code_page::WideFromGbk(name, kWideUnits, code_page::Overflow::Refuse, code_page::Conversion::Strict)
            .empty())
        return false;

    std::string joined(folder);
    if (joined.empty() || path_policy::LastSeparator(joined) != joined.size() - 1)
        joined += '\\';
    joined += name;
    if (joined.size() >= kPathBytes)
        return false; // cut short it would name another file

    // The same question asked of the system: whatever the name does, its full path stays below folder.
    std::wstring base, full;
    if (!FullPath(folder, base) || !FullPath(joined, full))
        return false;
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    if (full.size() <= base.size() || full.compare(0, base.size(), base) != 0)
        return false;

    std::memcpy(target, joined.c_str(), joined.size() + 1);
    return true;
}
