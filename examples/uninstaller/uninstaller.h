// Removes what the installer left behind: the install folder that holds this uninstaller, the installer's
// sibling folders (<folder>temp, <folder>.previous, <folder>.remove), the uninstall entry below either
// parent key, and the desktop link that the entry names.
#pragma once

#include <string>
#include <vector>

namespace sample {

enum UninstallExit : int {
    kUninstallDone = 0,         // everything of this install is gone
    kUninstallCancelled = 1,    // the user said no
    kUninstallNotInstalled = 2, // the uninstaller is not inside an install folder; nothing touched
    kUninstallIncomplete = 3,   // something could not be removed; see notRemoved
    kUninstallNoRights = 4,     // the uninstall entry could not be removed (no administrator rights);
                                // nothing touched
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
// The order makes a run that cannot finish stop before it has deleted anything: first every file of the
// folder must be free (a running terminal holds some; then nothing is touched), then the uninstall entry
// goes (without administrator rights this fails, and nothing is touched), then the link, and the folder
// last. The running executable cannot be deleted, so it moves itself out of the folder (to the temporary
// folder) and asks for that copy to be deleted at the next restart; if a file of the folder still cannot
// be deleted it moves itself back, so that it can simply be run again.
//
// An entry whose "UninstallString" names another uninstaller belongs to another install and is left as it
// is; so is a "Shortcut" value that does not name a .lnk file.
UninstallOutcome Uninstall(const std::wstring& selfPath);

} // namespace sample
