// Folder creation and the joining of archive entry names onto a target folder. An archive is input
// from outside: its names must not lead anywhere but below the folder it is extracted into.
#include "install/tunzip.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kPathBytes = MAX_PATH; // 259 characters and the NUL

std::vector<std::string> SplitComponents(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// "..", and names Windows would trim down to it or to nothing ("...", ". ."), step out of the folder.
bool LeavesFolder(const std::string& component) {
    if (component == ".")
        return false;
    return component.find_first_not_of(". ") == std::string::npos;
}

bool FullPath(const std::string& path, std::string& full) {
    char buffer[kPathBytes] = {};
    DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    if (n == 0 || n >= sizeof buffer)
        return false;
    full = buffer;
    return true;
}

} // namespace

bool TUnzip::CreateFolder(const char* path) {
    if (!path)
        return false;
    std::string text(path);
    for (char& c : text)
        if (c == '/')
            c = '\\';
    const bool unc = text.rfind("\\\\", 0) == 0;
    const bool rooted = !unc && !text.empty() && text[0] == '\\';
    std::vector<std::string> parts = SplitComponents(text);

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
        if (!CreateDirectoryA(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

bool JoinEntryPath(const char* folder, const char* entryName, char* target) {
    if (!folder || !entryName || !target)
        return false;
    target[0] = '\0';
    std::string name(entryName);
    for (char& c : name)
        if (c == '/')
            c = '\\';
    if (name.empty() || name[0] == '\\' || name.find(':') != std::string::npos)
        return false;
    for (const std::string& component : SplitComponents(name))
        if (LeavesFolder(component))
            return false;

    std::string joined(folder);
    if (joined.empty() || joined.back() != '\\')
        joined += '\\';
    joined += name;
    if (joined.size() >= kPathBytes)
        return false; // cut short it would name another file

    // The same question asked of the system: whatever the name does, its full path stays below folder.
    std::string base, full;
    if (!FullPath(folder, base) || !FullPath(joined, full))
        return false;
    if (base.empty() || base.back() != '\\')
        base += '\\';
    if (full.size() <= base.size() || full.compare(0, base.size(), base) != 0)
        return false;

    std::memcpy(target, joined.c_str(), joined.size() + 1);
    return true;
}
