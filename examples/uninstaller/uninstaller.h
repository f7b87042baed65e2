// Removes what the installer left behind: the install folder that holds this uninstaller, the uninstall
// entry below either parent key, and the desktop link that the entry names.
#pragma once

#include <string>
#include <vector>

namespace sample {

enum UninstallExit : int {
    kUninstallDone = 0,         // everything of this install is gone
    kUninstallCancelled = 1,    // the user said no
    kUninstallNotInstalled = 2, // the uninstaller is not inside an install folder; nothing touched
    kUninstallIncomplete = 3,   // something could not be removed; see notRemoved
};

struct UninstallOutcome {
    int exitCode = kUninstallDone;
    std::wstring folder;                  // the install folder
    std::vector<std::wstring> notRemoved; // what should have gone but is still there
    std::vector<std::wstring> leftAlone;  // what was deliberately not touched, and why
};

// The install folder the uninstaller at selfPath belongs to (its own folder).
std::wstring InstallFolderOf(const std::wstring& selfPath);

// Runs the removal for the uninstaller at selfPath.
//
// The running executable cannot be deleted, so it first moves itself out of the folder (beside the
// folder's parent temporary area) and asks for that copy to be deleted at the next restart. When some
// file cannot be deleted (typically the terminal is still running), the uninstaller moves itself back and
// keeps the entry and the link, so that it can simply be run again.
//
// An entry whose "UninstallString" names another uninstaller belongs to another install and is left as it
// is; so is a "Shortcut" value that does not name a .lnk file.
UninstallOutcome Uninstall(const std::wstring& selfPath);

} // namespace sample
