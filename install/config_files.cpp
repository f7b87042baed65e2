#include "install/system_integration.h"

#include "core/code_page.h"
#include "core/install_settings.h"

#include <windows.h>

#include <string>

bool WriteConfigFiles() {
    const InstallSettings& settings = GetInstallSettings();
    if (settings.InstallDir.empty())
        return false;
    // The files are the installer's own: a package needs no configuration folder of its own.
    const std::wstring folder = settings.InstallDir + L"\\config";
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    const std::wstring pub = folder + L"\\orvane.Default.pub";
    const std::wstring pri = folder + L"\\orvane.Default.pri";
    const std::wstring packageNo = code_page::WideFromGbk(settings.PackageNo, code_page::kAnyLength);
    const bool package = WritePrivateProfileStringW(L"orvane", L"package", packageNo.c_str(), pub.c_str());
    const std::wstring language = std::to_wstring(settings.UiLanguage);
    const bool uiLanguage = WritePrivateProfileStringW(L"orvane", L"language", language.c_str(), pri.c_str());
    return package && uiLanguage;
}
