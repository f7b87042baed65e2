#include "app/init_process.h"

#include "app/ui_texts.h"
#include "core/install_settings.h"
#include "install/install_location.h"
#include "ui/shared_gdi.h"

#include <winsock2.h>

#include <algorithm>
#include <iterator>
#include <windows.h>

namespace {

constexpr int kPackageNoResource = 102;

void LoadResourceInto(int id, char (&buffer)[260]) {
    std::fill(std::begin(buffer), std::end(buffer), '\0');
    LoadStringA(GetModuleHandleW(nullptr), UINT(id), buffer, int(sizeof buffer));
    buffer[sizeof buffer - 1] = '\0';
}

} // namespace

std::string LoadResourceText(int id) {
    char buffer[260];
    LoadResourceInto(id, buffer);
    return buffer;
}

void InitProcess() {
    CreateSharedGdi();
    InstallSettings& settings = GetInstallSettings();
    settings.PackageNo = LoadResourceText(kPackageNoResource);
    settings.UiLanguage = NormaliseUiLanguage(GetUserDefaultUILanguage());

    char name[260];
    const int nameId = ProductNameResource(settings.UiLanguage);
    LoadResourceInto(nameId, name);
    if (nameId == 104)
        ConvertBig5ToGbk(name); // the Traditional name is stored as code page 950
    settings.ProductName = name;

    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void ReleaseProcess() {
    DeleteSharedGdi();
    WSACleanup();
}
