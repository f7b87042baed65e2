#include "install/system_integration.h"

#include "core/code_page.h"
#include "core/install_settings.h"
#include "install/version_records.h"
#include "install/win_raii.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr size_t kWideUnits = 1024;

std::optional<bool> native64Override;

// REG_SZ data without the terminating NUL: the byte count is that of the characters alone. The system
// counts a NUL anyway when one directly follows the counted data, so the buffer ends in a non-NUL guard.
// Every value is written in UTF-16: the install folder's path need not fit the system's code page.
bool SetWide(HKEY key, const wchar_t* name, const std::wstring& value) {
    if (value.empty() || value.size() >= kWideUnits)
        return false;
    const std::wstring guarded = value + L'\x01';
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(guarded.data()),
                          DWORD(value.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool SetGbk(HKEY key, const wchar_t* name, const std::string& gbk) {
    return SetWide(key, name, code_page::WideFromGbk(gbk, kWideUnits));
}

} // namespace

void SetNative64BitOverrideForTesting(std::optional<bool> native64) {
    native64Override = native64;
}

bool IsNative64Bit() {
    if (native64Override)
        return *native64Override;
    using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    FARPROC proc = kernel ? GetProcAddress(kernel, "GetNativeSystemInfo") : nullptr;
    if (!proc)
        return false;
    // Through the generic function type, which converts to any other without a warning.
    auto getInfo = reinterpret_cast<GetNativeSystemInfoFn>(reinterpret_cast<void (*)()>(proc));
    SYSTEM_INFO info = {};
    getInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

const char* UninstallParentKey(bool native64) {
    return native64 ? "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                    : "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
}

int WriteUninstallEntry() {
    const InstallSettings& settings = GetInstallSettings();
    const std::string displayName = settings.ProductName + "v8.5";

    // Creating the subkey needs the right to create below the parent, not only to set its values. The
    // parent is created when missing, as on a fresh system that has not registered anything there yet.
    install::RegKey parent;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, UninstallParentKey(IsNative64Bit()), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr,
                        parent.Receive(), nullptr) != ERROR_SUCCESS)
        return -1;
    const std::string subkeyName = "Orvane_" + settings.PackageNo + "v8.5";
    install::RegKey subkey;
    if (RegCreateKeyA(parent.Get(), subkeyName.c_str(), subkey.Receive()) != ERROR_SUCCESS)
        return -1;

    const HKEY key = subkey.Get();
    if (!SetGbk(key, L"DisplayName", displayName) ||
        !SetWide(key, L"UninstallString", settings.InstallDir + L"\\uninstall.exe") ||
        !SetWide(key, L"DisplayIcon", settings.InstallDir + L"\\TalvikTradeSafe.exe") ||
        !SetGbk(key, L"DisplayVersion", FormatPackageVersion(settings.NewVerPart3, settings.NewVerPart4)) ||
        !SetGbk(key, L"Publisher", "Talvik Information") || !SetWide(key, L"Shortcut", DesktopLinkPath()))
        return -1;
    return 0;
}
