#include "install/version_records.h"

#include "core/install_settings.h"
#include "core/module_list.h"
#include "core/unique_file.h"
#include "core/wire.h"

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
    const std::wstring path = settings.TempDir + L"\\module.info";
    UniqueFile file(_wfopen(path.c_str(), L"wb"));
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

Result<std::pair<uint32_t, uint32_t>> ReadInstalledVersion(const std::wstring& installDir) {
    UniqueFile file(_wfopen((installDir + L"\\module.info").c_str(), L"rb"));
    uint8_t version[8];
    if (!file || std::fread(version, sizeof version, 1, file.Get()) != 1)
        return Error::FromErrno(ErrorKind::kIo, "cannot read module.info");
    return std::make_pair(wire::LoadU32(version), wire::LoadU32(version + 4));
}

bool WriteUpdateIni() {
    const InstallSettings& settings = GetInstallSettings();
    const std::wstring path = settings.TempDir + L"\\update.ini";
    const std::string text = FormatPackageVersion(settings.NewVerPart3, settings.NewVerPart4);
    const std::wstring version(text.begin(), text.end()); // digits and dots
    return WritePrivateProfileStringW(L"version", L"cur", version.c_str(), path.c_str()) != FALSE;
}
