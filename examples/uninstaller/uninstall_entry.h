// The installer's uninstall entry below HKEY_LOCAL_MACHINE, read and deleted in the 64-bit registry view
// (the installer is a 64-bit program and writes the parent paths literally).
#pragma once

#include <optional>
#include <string>

namespace sample {

struct UninstallEntry {
    std::wstring uninstallString; // empty when the value is missing
    std::wstring shortcut;        // the desktop link the installer made; empty when missing
};

// The entry at keyPath (parent + subkey), or nothing when there is no such key.
std::optional<UninstallEntry> ReadUninstallEntry(const std::wstring& keyPath);

// Deletes the entry's key with its values. True when it is gone (also when it was never there).
bool DeleteUninstallEntry(const std::wstring& keyPath);

} // namespace sample
