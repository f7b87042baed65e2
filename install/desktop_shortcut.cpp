#include "install/system_integration.h"

#include "core/code_page.h"
#include "core/install_settings.h"
#include "install/install_location.h"
#include "install/win_raii.h"

#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>

namespace {
constexpr size_t kWideUnits = 1024;
}

std::wstring DesktopLinkPath() {
    std::wstring desktop;
    GetSpecialFolderPath(CSIDL_DESKTOPDIRECTORY, desktop);
    const std::wstring name =
        code_page::WideFromGbk(GetInstallSettings().ProductName + "v8.5.lnk", kWideUnits);
    if (desktop.empty() || name.empty())
        return {};
    return desktop + L"\\" + name;
}

bool CreateDesktopShortcut() {
    const InstallSettings& settings = GetInstallSettings();
    const std::wstring link = DesktopLinkPath();
    const std::wstring& folder = settings.InstallDir;
    if (link.empty() || folder.empty())
        return false;
    const std::wstring target = folder + L"\\TalvikTradeSafe.exe";

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
