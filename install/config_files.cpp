#include "install/system_integration.h"

#include "app/install_settings.h"

#include <windows.h>

#include <string>

bool WriteConfigFiles() {
    const InstallSettings& settings = GetInstallSettings();
    const std::string pub = settings.InstallDir + "\\config\\orvane.Default.pub";
    const std::string pri = settings.InstallDir + "\\config\\orvane.Default.pri";
    const bool package =
        WritePrivateProfileStringA("orvane", "package", settings.PackageNo.c_str(), pub.c_str());
    const std::string language = std::to_string(settings.UiLanguage);
    const bool uiLanguage = WritePrivateProfileStringA("orvane", "language", language.c_str(), pri.c_str());
    return package && uiLanguage;
}
