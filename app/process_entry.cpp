#include "app/process_entry.h"

#include "app/command_line.h"
#include "app/exit_codes.h"
#include "app/init_process.h"
#include "app/orvane_dlg.h"
#include "app/single_instance.h"
#include "core/code_page.h"
#include "core/install_log.h"
#include "core/install_settings.h"
#include "install/tunzip.h"
#include "service/local_fs.h"

#include <filesystem>

namespace {

// Makes the log copy's folder and opens it without emptying it (it may be the log of a copy already
// running).
Status StartLogCopy(const std::wstring& path) {
    std::error_code ec;
    const std::filesystem::path file(path);
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), ec);
    if (!MirrorInstallLog(path, LogMode::Append))
        return Error(ErrorKind::kIo, code_page::Utf8FromWide(L"The log cannot be written: " + path));
    return Ok();
}

} // namespace

int RunInstaller() {
    const std::vector<std::wstring> args = ProcessArguments();
    const Result<CommandLine> parsed = ParseCommandLine(args);
    Status usable = parsed ? Ok() : Status(parsed.error());
    if (usable && !parsed->logPath.empty())
        usable = StartLogCopy(parsed->logPath);
    if (!usable) {
        // Nothing is installed on a line that may not mean what its writer meant; /quiet still decides
        // whether a message box may say so.
        if (!AsksQuiet(args))
            MessageBoxW(nullptr, code_page::WideFromUtf8(usable.error().message()).c_str(), L"Orvane",
                        MB_OK | MB_ICONERROR);
        return kExitBadCommandLine;
    }
    const CommandLine& line = *parsed;
    if (line.quiet) {
        // Nothing may wait for a person who is not there.
        SetFolderAlertsShown(false);
        AbortOverwritesUnattended();
    }
    InitProcess();
    // Before the dialog exists: its start deletes the temporary folder and recovers an interrupted
    // install, both of which belong to the copy already running.
    SingleInstance instance(GetInstallSettings().PackageNo);
    if (!instance.First()) {
        LogEvent("RunInstaller", "Another copy is running");
        if (!line.quiet)
            BringFirstCopyForward();
        ReleaseProcess();
        return line.quiet ? kExitAlreadyRunning : kExitInstalled;
    }
    // This copy installs: its log copy starts empty.
    if (!line.logPath.empty())
        MirrorInstallLog(line.logPath);
    InstallerExit code = kExitInstalled;
    {
        TOrvaneDlg dialog;
        if (line.quiet) {
            dialog.launchWhenDone = line.launch;
            code = dialog.RunQuiet();
        } else {
            dialog.DoModal();
        }
        // The dialog goes before the socket library and the shared drawing objects, so the clients its
        // destructor stops never run against a released socket library.
    }
    ReleaseProcess();
    return code;
}
