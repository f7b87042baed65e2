#include "install/install_sequence.h"

#include "app/install_log.h"
#include "app/install_settings.h"
#include "install/dependency_package.h"
#include "install/install_location.h"
#include "install/system_integration.h"
#include "install/tree_check.h"
#include "install/version_records.h"

#include <string>

namespace {

// The log the install sequence closed before copying: the line about a failure goes into the copy
// that survives, TempDir's until the files are in place, the installed one after.
void LogFailure(const std::string& folder, const char* stepName) {
    if (OpenInstallLog(folder + "\\log\\install.log", LogMode::Append)) {
        LogEvent("OnDownloadComplete", std::string(stepName) + " Faile");
        CloseInstallLog();
    }
}

// Removes what was copied and moves the previous installation (if there was one) back in place.
bool PutPreviousBack(const InstallSettings& s, bool movedAside) {
    if (install::FolderExists(s.InstallDir) && !DeleteFolder(s.InstallDir))
        return false;
    return !movedAside || install::RenameFolder(MovedAsideFolder(s), s.InstallDir);
}

InstallOutcome FailFileStep(const InstallSettings& s, InstallStep step, bool movedAside, bool copied) {
    InstallOutcome outcome;
    outcome.failed = step;
    if (copied || movedAside)
        outcome.restored = PutPreviousBack(s, movedAside);
    // Space taken by the copy is free again before the line is written, so a full disk still gets it.
    LogFailure(s.TempDir, InstallStepName(step));
    if (!outcome.restored)
        LogFailure(s.TempDir, "RestorePrevious"); // what is left aside is put back at the next start
    return outcome;
}

} // namespace

const char* InstallStepName(InstallStep step) {
    switch (step) {
    case InstallStep::None:
        return "Install";
    case InstallStep::ModuleInfo:
        return "WriteModuleInfo";
    case InstallStep::UpdateIni:
        return "WriteUpdateIni";
    case InstallStep::MoveAside:
        return "MoveAside";
    case InstallStep::Copy:
        return "Copy";
    case InstallStep::Check:
        return "CheckCopy";
    case InstallStep::Depend:
        return "ExtractDependPackage";
    case InstallStep::Commit:
        return "RemovePrevious";
    case InstallStep::UninstallEntry:
        return "WriteUninstallEntry";
    case InstallStep::Shortcut:
        return "CreateDesktopShortcut";
    case InstallStep::Config:
        return "WriteConfigFiles";
    }
    return "Install";
}

std::string MovedAsideFolder(const InstallSettings& settings) {
    return settings.InstallDir + ".previous";
}

std::string RemovalFolder(const InstallSettings& settings) {
    return settings.InstallDir + ".remove";
}

Recovery RecoverInterruptedInstall(const InstallSettings& settings) {
    const std::string aside = MovedAsideFolder(settings);
    const std::string removal = RemovalFolder(settings);
    if (install::FolderExists(removal))
        DeleteFolder(removal); // a confirmed install's predecessor; another try next time if it stays
    if (!install::FolderExists(aside))
        return Recovery::Nothing;
    if (install::FolderExists(settings.InstallDir) && !DeleteFolder(settings.InstallDir))
        return Recovery::Failed;
    return install::RenameFolder(aside, settings.InstallDir) ? Recovery::Restored : Recovery::Failed;
}

InstallOutcome InstallDownloadedPackage() {
    const InstallSettings& s = GetInstallSettings();
    const std::string aside = MovedAsideFolder(s);
    const std::string removal = RemovalFolder(s);

    if (!WriteModuleInfo())
        return FailFileStep(s, InstallStep::ModuleInfo, false, false);
    if (!WriteUpdateIni())
        return FailFileStep(s, InstallStep::UpdateIni, false, false);

    // A folder still aside holds the last good installation that could not be put back: keep it.
    if (install::FolderExists(aside))
        return FailFileStep(s, InstallStep::MoveAside, false, false);
    if (install::FolderExists(removal) && !DeleteFolder(removal))
        return FailFileStep(s, InstallStep::MoveAside, false, false);
    bool movedAside = false;
    if (install::FolderExists(s.InstallDir)) {
        // A file held open stops the install before anything has moved; the system may allow the
        // rename and refuse only the removal later.
        if (install::TreeInUse(s.InstallDir) || !install::RenameFolder(s.InstallDir, aside))
            return FailFileStep(s, InstallStep::MoveAside, false, false);
        movedAside = true;
    }

    if (!CopyTree(s.TempDir, s.InstallDir))
        return FailFileStep(s, InstallStep::Copy, movedAside, true);
    if (!install::TreeCopiedWhole(s.TempDir, s.InstallDir))
        return FailFileStep(s, InstallStep::Check, movedAside, true);
    if (!ExtractDependPackage(s.InstallDir))
        return FailFileStep(s, InstallStep::Depend, movedAside, true);
    // The rename is the moment the new installation counts: from here on a restart keeps it.
    if (movedAside && !install::RenameFolder(aside, removal))
        return FailFileStep(s, InstallStep::Commit, movedAside, true);
    if (movedAside)
        DeleteFolder(removal); // what stays is deleted at the next start

    InstallOutcome outcome;
    outcome.filesInPlace = true;
    DeleteFolder(s.TempDir);
    auto step = [&](bool ok, InstallStep which) {
        if (ok)
            return;
        LogFailure(s.InstallDir, InstallStepName(which));
        if (outcome.failed == InstallStep::None)
            outcome.failed = which;
    };
    step(WriteUninstallEntry() == 0, InstallStep::UninstallEntry);
    step(CreateDesktopShortcut(), InstallStep::Shortcut);
    step(WriteConfigFiles(), InstallStep::Config);
    return outcome;
}
