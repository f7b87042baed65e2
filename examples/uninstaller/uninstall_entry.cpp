#include "examples/uninstaller/uninstall_entry.h"

#include "install/win_raii.h"

#include <windows.h>

#include <vector>

namespace sample {
namespace {

using install::RegKey;

// The installer stores its texts without a terminating NUL; RegGetValueW adds one.
std::wstring ReadText(HKEY key, const wchar_t* name) {
    DWORD bytes = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes == 0)
        return {};
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1);
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer.data(), &bytes) != ERROR_SUCCESS)
        return {};
    buffer.back() = 0;
    return std::wstring(buffer.data());
}

} // namespace

std::optional<UninstallEntry> ReadUninstallEntry(const std::wstring& keyPath) {
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.Receive()) != ERROR_SUCCESS)
        return std::nullopt;
    UninstallEntry entry;
    entry.uninstallString = ReadText(key.Get(), L"UninstallString");
    entry.shortcut = ReadText(key.Get(), L"Shortcut");
    return entry;
}

bool DeleteUninstallEntry(const std::wstring& keyPath) {
    const LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_WOW64_64KEY, 0);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

} // namespace sample
