#include "install/system_integration.h"

#include "app/code_page.h"
#include "app/install_settings.h"
#include "install/install_location.h"
#include "install/win_raii.h"

#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>

namespace {
constexpr size_t kWideUnits = 1024;
}

std::string DesktopLinkPath() {
    std::string path;
    GetSpecialFolderPath(CSIDL_DESKTOPDIRECTORY, path);
    return path + "\\" + GetInstallSettings().ProductName + "v8.5.lnk";
}

bool CreateDesktopShortcut() {
    const InstallSettings& settings = GetInstallSettings();
    const std::wstring link = code_page::WideFromGbk(DesktopLinkPath(), kWideUnits);
    if (link.empty())
        return false;
    const std::wstring target =
        code_page::WideFromGbk(settings.InstallDir + "\\TalvikTradeSafe.exe", kWideUnits);
    const std::wstring folder = code_page::WideFromGbk(settings.InstallDir, kWideUnits);
    if (target.empty() || folder.empty())
        return false;

    // A link that was not saved is reported: the user is told to run the installer again.
    install::ComScope com;
    if (!com.Ok())
        return false;
    install::ComPtr<IShellLinkW> shellLink;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                shellLink.ReceiveVoid())))
        return false;
    shellLink->SetPath(target.c_str());
    shellLink->SetWorkingDirectory(folder.c_str());
    install::ComPtr<IPersistFile> file;
    if (FAILED(shellLink->QueryInterface(IID_IPersistFile, file.ReceiveVoid())))
        return false;
    return SUCCEEDED(file->Save(link.c_str(), FALSE));
}
