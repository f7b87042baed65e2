#include "install/install_sequence.h"

#include "app/install_settings.h"
#include "install/dependency_package.h"
#include "install/install_location.h"
#include "install/system_integration.h"
#include "install/version_records.h"

#include <string>

void InstallDownloadedPackage() {
    const InstallSettings& settings = GetInstallSettings();
    WriteModuleInfo();
    WriteUpdateIni();

    // Only remove the previous installation when its replacement can actually be copied in.
    std::string command = FormatCopyCommand(settings.TempDir, settings.InstallDir);
    if (!command.empty()) {
        DeleteFolder(settings.InstallDir);
        RunCommandAndWait(command.data());
    }
    ExtractDependPackage(settings.InstallDir);
    DeleteFolder(settings.TempDir);
    WriteUninstallEntry();
    CreateDesktopShortcut();
    WriteConfigFiles();
}
