#include "install/install_sequence.h"

#include "core/code_page.h"
#include "core/install_log.h"
#include "core/install_settings.h"
#include "core/result.h"
#include "install/dependency_package.h"
#include "install/install_location.h"
#include "install/system_integration.h"
#include "install/tree_check.h"
#include "install/version_records.h"
#include "install/win_raii.h"

#include <windows.h>

#include <string>

namespace {

// The log the install sequence closed before copying: the line about a failure goes into the copy
// that survives, TempDir's until the files are in place, the installed one after.
void LogTo(const std::wstring& folder, const std::string& text) {
    if (OpenInstallLog(folder + L"\\log\\install.log", LogMode::Append)) {
        WriteLog(text);
        CloseInstallLog();
    }
}

void LogFailure(const std::wstring& folder, const char* stepName) {
    LogTo(folder, LogEventText("OnDownloadComplete", std::string(stepName) + " Faile"));
}

// Removes what was copied and moves the previous installation (if there was one) back in place.
Status PutPreviousBack(const InstallSettings& s, bool movedAside) {
    if (install::FolderExists(s.InstallDir) && !DeleteFolder(s.InstallDir))
        return Error(ErrorKind::kIo, "cannot delete the copy");
    if (!movedAside)
        return Ok();
    return install::RenameFolder(MovedAsideFolder(s), s.InstallDir);
}

InstallOutcome FailFileStep(const InstallSettings& s, InstallStep step, bool movedAside, bool copied) {
    InstallOutcome outcome;
    outcome.failed = step;
    if (copied || movedAside)
        outcome.restored = PutPreviousBack(s, movedAside).ok();
    // Space taken by the copy is free again before the line is written, so a full disk still gets it.
    LogFailure(s.TempDir, InstallStepName(step));
    if (!outcome.restored)
        LogFailure(s.TempDir, "RestorePrevious"); // what is left aside is put back at the next start
    return outcome;
}

Status WriteMarker(const std::wstring& path) {
    install::UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return Error(ErrorKind::kIo, "cannot write the marker", int(GetLastError()));
    return Ok();
}

// The uninstall entry, the link and the configuration files; the first failure's step, or None.
InstallStep WriteRegistration(const std::wstring& logFolder) {
    InstallStep failed = InstallStep::None;
    auto step = [&](bool ok, InstallStep which) {
        if (ok)
            return;
        LogFailure(logFolder, InstallStepName(which));
        if (failed == InstallStep::None)
            failed = which;
    };
    step(WriteUninstallEntry() == 0, InstallStep::UninstallEntry);
    step(CreateDesktopShortcut(), InstallStep::Shortcut);
    step(WriteConfigFiles(), InstallStep::Config);
    return failed;
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
    case InstallStep::Linked:
        return "LinkedInstallDir";
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

std::wstring MovedAsideFolder(const InstallSettings& settings) {
    return settings.InstallDir + L".previous";
}

std::wstring RemovalFolder(const InstallSettings& settings) {
    return settings.InstallDir + L".remove";
}

std::wstring OwedStepsMarker(const InstallSettings& settings) {
    return settings.InstallDir + L"\\install.pending";
}

Recovery RecoverInterruptedInstall(const InstallSettings& settings) {
    const std::wstring aside = MovedAsideFolder(settings);
    const std::wstring removal = RemovalFolder(settings);
    if (install::IsLinkedFolder(settings.InstallDir) || install::IsLinkedFolder(aside) ||
        install::IsLinkedFolder(removal))
        return install::FolderExists(aside) ? Recovery::Failed : Recovery::Nothing;
    if (install::FolderExists(removal))
        DeleteFolder(removal); // a confirmed install's predecessor; another try next time if it stays
    if (!install::FolderExists(aside))
        return Recovery::Nothing;
    if (install::FolderExists(settings.InstallDir) && !DeleteFolder(settings.InstallDir))
        return Recovery::Failed;
    return install::RenameFolder(aside, settings.InstallDir) ? Recovery::Restored : Recovery::Failed;
}

OwedSteps FinishOwedSteps(InstallSettings& settings) {
    const std::wstring marker = OwedStepsMarker(settings);
    if (install::IsLinkedFolder(settings.InstallDir) ||
        GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES)
        return OwedSteps::Nothing;
    // The entry's version is the installed one, which the run that was stopped recorded.
    if (const auto installed = ReadInstalledVersion(settings.InstallDir)) {
        settings.NewVerPart3 = installed->first;
        settings.NewVerPart4 = installed->second;
    }
    if (WriteRegistration(settings.InstallDir) != InstallStep::None)
        return OwedSteps::Failed;
    DeleteFileW(marker.c_str());
    return OwedSteps::Written;
}

InstallOutcome InstallDownloadedPackage(const std::vector<ReceivedFile>& received) {
    const InstallSettings& s = GetInstallSettings();
    const std::wstring aside = MovedAsideFolder(s);
    const std::wstring removal = RemovalFolder(s);

    if (!WriteModuleInfo())
        return FailFileStep(s, InstallStep::ModuleInfo, false, false);
    if (!WriteUpdateIni())
        return FailFileStep(s, InstallStep::UpdateIni, false, false);

    // A link in place of the install folder (or of a folder beside it that would be renamed or deleted)
    // is not ours to move: renaming or emptying it would act on what it points at.
    for (const std::wstring* folder : {&s.InstallDir, &aside, &removal}) {
        if (install::IsLinkedFolder(*folder)) {
            LogTo(s.TempDir,
                  LogEventText("OnDownloadComplete", "Link " + code_page::GbkFromWide(*folder) + " Faile"));
            InstallOutcome outcome;
            outcome.failed = InstallStep::Linked;
            return outcome;
        }
    }
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
    if (!install::TreeCopiedWhole(s.TempDir, s.InstallDir) ||
        !install::ReceivedFilesInPlace(s.InstallDir, received))
        return FailFileStep(s, InstallStep::Check, movedAside, true);
    if (!ExtractDependPackage(s.InstallDir))
        return FailFileStep(s, InstallStep::Depend, movedAside, true);
    // Owed from the commit on: a stop before the registration is written is made good at the next start.
    if (!WriteMarker(OwedStepsMarker(s)))
        return FailFileStep(s, InstallStep::Commit, movedAside, true);
    // The rename is the moment the new installation counts: from here on a restart keeps it.
    if (movedAside && !install::RenameFolder(aside, removal))
        return FailFileStep(s, InstallStep::Commit, movedAside, true);
    if (movedAside)
        DeleteFolder(removal); // what stays is deleted at the next start

    InstallOutcome outcome;
    outcome.filesInPlace = true;
    DeleteFolder(s.TempDir);
    outcome.failed = WriteRegistration(s.InstallDir);
    if (outcome.failed == InstallStep::None)
        DeleteFileW(OwedStepsMarker(s).c_str());
    return outcome;
}
