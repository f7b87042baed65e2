#include "examples/uninstaller/uninstaller.h"

#include "examples/uninstaller/tree_removal.h"
#include "examples/uninstaller/uninstall_entry.h"
#include "examples/uninstaller/uninstall_target.h"

#include <windows.h>

#include <optional>

namespace sample {
namespace {

struct OwnedEntry {
    std::wstring keyPath;
    std::wstring shortcut;
};

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH + 2] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring path = length > 0 && length <= MAX_PATH ? std::wstring(buffer, length) : std::wstring();
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

// Moves the running executable out of the folder; returns where it went, or nothing. A running image can
// be renamed but not deleted. The temporary folder is tried first, then the install folder's parent (the
// same volume for certain).
std::optional<std::wstring> MoveSelfAside(const std::wstring& selfPath, const std::wstring& folder) {
    const std::wstring name = L"orvane-uninstall-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    for (const std::wstring& place : {TempFolder(), InstallFolderOf(folder)}) {
        if (place.empty())
            continue;
        const std::wstring target = place + L"\\" + name;
        if (MoveFileExW(selfPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
            return target;
    }
    return std::nullopt;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Files below folder that another program holds (they cannot be opened for deletion with no sharing),
// the running uninstaller itself apart.
void AppendFilesInUse(const std::wstring& folder, const std::wstring& self, std::vector<std::wstring>& busy) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue; // unlinked, never entered
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            AppendFilesInUse(path, self, busy);
            continue;
        }
        if (SamePath(path, self))
            continue;
        HANDLE file = CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            busy.push_back(path);
        else
            CloseHandle(file);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

} // namespace

std::wstring InstallFolderOf(const std::wstring& selfPath) {
    const size_t slash = selfPath.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : selfPath.substr(0, slash);
}

UninstallOutcome Uninstall(const std::wstring& selfPath) {
    UninstallOutcome outcome;
    outcome.folder = InstallFolderOf(selfPath);
    const std::optional<std::wstring> package = PackageOfInstallFolder(outcome.folder);
    if (!package) {
        outcome.exitCode = kUninstallNotInstalled;
        return outcome;
    }
    // A current folder inside the tree would keep the tree from being deleted.
    const std::wstring outside = InstallFolderOf(outcome.folder);
    SetCurrentDirectoryW(outside.empty() ? L"C:\\" : (outside + L"\\").c_str());

    std::vector<OwnedEntry> owned;
    for (const wchar_t* parent : kUninstallParents) {
        const std::wstring keyPath = parent + UninstallSubkey(*package);
        const std::optional<UninstallEntry> entry = ReadUninstallEntry(keyPath);
        if (!entry)
            continue;
        if (!entry->uninstallString.empty() && !SamePath(entry->uninstallString, selfPath)) {
            outcome.leftAlone.push_back(L"HKLM\\" + keyPath + L" (it belongs to " + entry->uninstallString +
                                        L")");
            continue;
        }
        owned.push_back({keyPath, entry->shortcut});
    }

    // Nothing is deleted while a file is held: the terminal is probably still running.
    AppendFilesInUse(outcome.folder, selfPath, outcome.notRemoved);
    if (!outcome.notRemoved.empty()) {
        outcome.exitCode = kUninstallIncomplete;
        return outcome;
    }
    // The entry first: it needs administrator rights, and a run without them stops here untouched.
    for (size_t i = 0; i < owned.size(); ++i) {
        if (DeleteUninstallEntry(owned[i].keyPath))
            continue;
        outcome.notRemoved.push_back(L"HKLM\\" + owned[i].keyPath);
        if (i == 0) {
            outcome.exitCode = kUninstallNoRights;
            return outcome;
        }
    }
    for (const OwnedEntry& entry : owned) {
        if (entry.shortcut.empty())
            continue;
        if (!IsShortcutPath(entry.shortcut))
            outcome.leftAlone.push_back(entry.shortcut + L" (not a desktop link)");
        else if (!DeleteFileW(entry.shortcut.c_str()) && Exists(entry.shortcut))
            outcome.notRemoved.push_back(entry.shortcut);
    }

    const std::optional<std::wstring> aside = MoveSelfAside(selfPath, outcome.folder);
    std::vector<std::wstring> failed;
    if (!DeleteTree(outcome.folder, failed)) {
        outcome.notRemoved.insert(outcome.notRemoved.end(), failed.begin(), failed.end());
        if (aside && !MoveFileExW(aside->c_str(), selfPath.c_str(), MOVEFILE_REPLACE_EXISTING))
            outcome.notRemoved.push_back(*aside);
        outcome.exitCode = kUninstallIncomplete;
        return outcome;
    }
    if (aside)
        MoveFileExW(aside->c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    // The installer's own folders beside the install folder: its download ("temp") and the earlier
    // installation it set aside (".previous") or was removing (".remove"). Nothing else beside it.
    for (const wchar_t* suffix : {L"temp", L".previous", L".remove"}) {
        failed.clear();
        if (!DeleteTree(outcome.folder + suffix, failed))
            outcome.notRemoved.insert(outcome.notRemoved.end(), failed.begin(), failed.end());
    }
    outcome.exitCode = outcome.notRemoved.empty() ? kUninstallDone : kUninstallIncomplete;
    return outcome;
}

} // namespace sample
