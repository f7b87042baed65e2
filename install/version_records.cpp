#include "install/version_records.h"

#include "app/install_settings.h"
#include "app/module_list.h"
#include "app/unique_file.h"
#include "net/wire.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

std::string FormatPackageVersion(uint32_t part3, uint32_t part4) {
    char text[MAX_PATH] = {};
    std::snprintf(text, sizeof text, "8.5.%d.%d", int32_t(part3), int32_t(part4));
    return text;
}

bool WriteModuleInfo() {
    InstallSettings& settings = GetInstallSettings();
    const std::string path = settings.TempDir + "\\module.info";
    UniqueFile file(std::fopen(path.c_str(), "wb"));
    if (!file.Get())
        return false;

    // The version copy is made only once there is a record to hold it.
    settings.CurVerPart3 = settings.NewVerPart3;
    settings.CurVerPart4 = settings.NewVerPart4;
    uint8_t version[8];
    wire::StoreU32(version, settings.CurVerPart3);
    wire::StoreU32(version + 4, settings.CurVerPart4);
    bool written = std::fwrite(version, sizeof version, 1, file.Get()) == 1;

    for (const ModuleRecord& record : GetModuleList()) {
        const auto bytes = record.Bytes();
        written = written && std::fwrite(bytes.data(), bytes.size(), 1, file.Get()) == 1;
    }
    // A full disk shows up at the latest when the buffer is flushed.
    return std::fflush(file.Get()) == 0 && written;
}

bool WriteUpdateIni() {
    const InstallSettings& settings = GetInstallSettings();
    const std::string path = settings.TempDir + "\\update.ini";
    const std::string version = FormatPackageVersion(settings.NewVerPart3, settings.NewVerPart4);
    return WritePrivateProfileStringA("version", "cur", version.c_str(), path.c_str()) != FALSE;
}
