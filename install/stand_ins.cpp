// Stand-ins for the installation actions that are not built yet. Each is replaced, and removed from
// this file, by the installation-actions work; until then they do nothing.
#include "install/dependency_package.h"
#include "install/install_location.h"
#include "install/system_integration.h"
#include "install/terminal_shutdown.h"
#include "install/version_records.h"

#include "app/install_settings.h"

void InitInstallPaths(InstallSettings&) {}
void GetSpecialFolderPath(int, std::string&) {}
bool DeleteFolder(const std::string&) { return false; }
bool ConvertBig5ToGbk(char*) { return true; }
int StopRunningTerminal() { return 0; }
void ExtractDependPackage(const std::string&) {}
bool RunCommandAndWait(char*) { return true; }
bool IsNative64Bit() { return false; }
int WriteUninstallEntry() { return -1; }
bool CreateDesktopShortcut() { return false; }
void WriteConfigFiles() {}
bool LaunchTerminal() { return false; }
void WriteModuleInfo() {}
void WriteUpdateIni() {}
