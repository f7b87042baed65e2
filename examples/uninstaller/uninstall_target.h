// What an uninstaller placed in an install folder may remove: the names it derives from that folder and
// the checks that keep it from removing anything that is not this product's.
#pragma once

#include <optional>
#include <string>

namespace sample {

// The two parent keys below HKEY_LOCAL_MACHINE under which the installer may have registered itself.
inline constexpr const wchar_t* kUninstallParents[] = {
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\",
};

// The package number of an install folder named "Orvane<package>v8.5" (letter case ignored), or nothing
// when the folder is not named like one: the uninstaller then refuses to delete it.
std::optional<std::wstring> PackageOfInstallFolder(const std::wstring& folder);

// "Orvane_<package>v8.5": the uninstall entry's subkey.
std::wstring UninstallSubkey(const std::wstring& package);

// True when both texts name the same path, ignoring letter case (after making them absolute).
bool SamePath(const std::wstring& a, const std::wstring& b);

// True for an absolute path of a ".lnk" file: the only kind of file the entry's "Shortcut" value may make
// the uninstaller delete.
bool IsShortcutPath(const std::wstring& path);

} // namespace sample
