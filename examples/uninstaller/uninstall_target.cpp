#include "examples/uninstaller/uninstall_target.h"

#include <windows.h>

#include <vector>

namespace sample {
namespace {

bool EqualNoCase(const wchar_t* a, int aLength, const wchar_t* b, int bLength) {
    return CompareStringOrdinal(a, aLength, b, bLength, TRUE) == CSTR_EQUAL;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::vector<wchar_t> buffer(size);
    DWORD length = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    return length > 0 && length < size ? std::wstring(buffer.data(), length) : path;
}

} // namespace

std::optional<std::wstring> PackageOfInstallFolder(const std::wstring& folder) {
    std::wstring path = folder;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    const size_t slash = path.find_last_of(L"\\/");
    // A drive root or a bare name is never an install folder.
    if (slash == std::wstring::npos || slash + 1 >= path.size())
        return std::nullopt;
    const std::wstring leaf = path.substr(slash + 1);
    static constexpr wchar_t kPrefix[] = L"Orvane";
    static constexpr wchar_t kSuffix[] = L"v8.5";
    constexpr int prefixLength = 6;
    constexpr int suffixLength = 4;
    const int leafLength = static_cast<int>(leaf.size());
    if (leafLength <= prefixLength + suffixLength)
        return std::nullopt;
    if (!EqualNoCase(leaf.c_str(), prefixLength, kPrefix, prefixLength) ||
        !EqualNoCase(leaf.c_str() + leafLength - suffixLength, suffixLength, kSuffix, suffixLength))
        return std::nullopt;
    std::wstring package = leaf.substr(prefixLength, leaf.size() - prefixLength - suffixLength);
    // The package number is a plain word: no blanks, no separators of any kind.
    for (wchar_t c : package)
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')))
            return std::nullopt;
    return package;
}

std::wstring UninstallSubkey(const std::wstring& package) {
    return L"Orvane_" + package + L"v8.5";
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    const std::wstring fullA = FullPath(a);
    const std::wstring fullB = FullPath(b);
    return EqualNoCase(fullA.c_str(), static_cast<int>(fullA.size()), fullB.c_str(),
                       static_cast<int>(fullB.size()));
}

bool IsShortcutPath(const std::wstring& path) {
    const bool absolute = path.size() > 3 && path[1] == L':' && path[2] == L'\\';
    if (!absolute || path.size() < 5)
        return false;
    return EqualNoCase(path.c_str() + path.size() - 4, 4, L".lnk", 4);
}

} // namespace sample
