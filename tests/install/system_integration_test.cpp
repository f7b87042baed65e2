// Tests that the copy, the uninstall entry, the desktop link, the configuration files and the launch
// leave exactly what the installed terminal and the system expect.
#include "install/system_integration.h"

#include "install/install_location.h"
#include "install/win_raii.h"
#include "tests/install/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <sstream>
#include <vector>

namespace {

constexpr char kScratchPackage[] = "integrationtest";
constexpr char kSubkey[] = "Orvane_integrationtestv8.5";
constexpr char kProductGbk[] = "\xb0\xc2\xb7\xb2\xbd\xbb\xd2\xd7"; // four Chinese characters

std::wstring Wide936(const std::string& text) {
    int n = MultiByteToWideChar(936, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(936, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

std::vector<uint8_t> WideBytes(const std::wstring& text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(p, p + text.size() * sizeof(wchar_t));
}

std::wstring SubkeyPath(bool native64) {
    std::string path = std::string(UninstallParentKey(native64)) + kSubkey;
    return std::wstring(path.begin(), path.end());
}

// The raw data of a value as stored, with its type. Asked of the kernel's registry call, because the
// Win32 query functions may add a NUL to text that was stored without one.
bool ReadValue(bool native64, const wchar_t* name, DWORD& type, std::vector<uint8_t>& data) {
    struct CountedText {
        USHORT length;
        USHORT maximumLength;
        PWSTR buffer;
    };
    using NtQueryValueKeyFn = LONG(NTAPI*)(HANDLE, CountedText*, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<NtQueryValueKeyFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll"), "NtQueryValueKey")));
    if (!query)
        return false;
    install::RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SubkeyPath(native64).c_str(), 0, KEY_QUERY_VALUE, key.Receive()) !=
        ERROR_SUCCESS)
        return false;
    CountedText valueName = {USHORT(wcslen(name) * sizeof(wchar_t)), USHORT(wcslen(name) * sizeof(wchar_t)),
                             const_cast<PWSTR>(name)};
    // KeyValuePartialInformation (2): title index, type, data length, data.
    std::vector<uint8_t> info(4096);
    ULONG size = 0;
    LONG status = query(key.Get(), &valueName, 2, info.data(), ULONG(info.size()), &size);
    if (status != 0)
        return false;
    type = *reinterpret_cast<const ULONG*>(info.data() + 4);
    const ULONG length = *reinterpret_cast<const ULONG*>(info.data() + 8);
    data.assign(info.begin() + 12, info.begin() + 12 + length);
    return true;
}

DWORD ValueCount(bool native64) {
    install::RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SubkeyPath(native64).c_str(), 0, KEY_QUERY_VALUE, key.Receive()) !=
        ERROR_SUCCESS)
        return 0;
    DWORD values = 0;
    RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    return values;
}

class SystemIntegration : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallSettings& s = GetInstallSettings();
        s.PackageNo = kScratchPackage;
        s.ProductName = kProductGbk;
        s.InstallDir = W(scratch / "Orvane000185v8.5");
        s.NewVerPart3 = 12;
        s.NewVerPart4 = 3;
        s.UiLanguage = 2052;
        CreateDirectoryW(s.InstallDir.c_str(), nullptr);
        DeleteKeys();
    }
    void TearDown() override {
        SetNative64BitOverrideForTesting(std::nullopt);
        DeleteKeys();
        DeleteFileW(DesktopLinkPath().c_str());
    }
    static void DeleteKeys() {
        for (bool native64 : {true, false})
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, SubkeyPath(native64).c_str());
    }

    StateGuard guard;
    ScratchFolder scratch;
};

} // namespace

// Tests that the six values are REG_SZ with exactly the characters of their text and no NUL: ANSI ones
// one byte per character, UTF-16 ones two, under the Wow6432Node parent on a 64-bit processor.
TEST_F(SystemIntegration, UninstallValuesExactBytes) {
    SetNative64BitOverrideForTesting(true);
    ASSERT_EQ(WriteUninstallEntry(), 0);
    const std::string dir = A(GetInstallSettings().InstallDir);
    const struct {
        const wchar_t* name;
        std::wstring text;
    } expected[] = {
        {L"DisplayName", Wide936(std::string(kProductGbk) + "v8.5")},
        {L"UninstallString", Wide936(dir + "\\uninstall.exe")},
        {L"DisplayIcon", Wide936(dir + "\\TalvikTradeSafe.exe")},
        {L"DisplayVersion", L"8.5.12.3"},
        {L"Publisher", L"Talvik Information"},
        {L"Shortcut", DesktopLinkPath()},
    };
    for (const auto& value : expected) {
        SCOPED_TRACE(std::string(value.name, value.name + wcslen(value.name)));
        DWORD type = 0;
        std::vector<uint8_t> data;
        ASSERT_TRUE(ReadValue(true, value.name, type, data));
        EXPECT_EQ(type, DWORD(REG_SZ));
        EXPECT_EQ(data, WideBytes(value.text)); // no terminating NUL stored
    }
    EXPECT_EQ(ValueCount(true), 6u);
    EXPECT_EQ(ValueCount(false), 0u);
}

// Tests that the parent key follows the architecture, and that the system's own answer is AMD64/IA64.
TEST_F(SystemIntegration, ParentKeyByArchitecture) {
    SetNative64BitOverrideForTesting(false);
    ASSERT_EQ(WriteUninstallEntry(), 0);
    EXPECT_EQ(ValueCount(false), 6u);
    EXPECT_EQ(ValueCount(true), 0u);
    EXPECT_STREQ(UninstallParentKey(false), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
    EXPECT_STREQ(UninstallParentKey(true),
                 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");

    SetNative64BitOverrideForTesting(std::nullopt);
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    EXPECT_EQ(IsNative64Bit(), info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                                   info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64);
}

// Tests that installing again updates the existing subkey in place: new version, still six values.
TEST_F(SystemIntegration, SecondInstallUpdatesInPlace) {
    SetNative64BitOverrideForTesting(true);
    ASSERT_EQ(WriteUninstallEntry(), 0);
    GetInstallSettings().NewVerPart3 = 100;
    GetInstallSettings().NewVerPart4 = 0;
    ASSERT_EQ(WriteUninstallEntry(), 0);
    DWORD type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(ReadValue(true, L"DisplayVersion", type, data));
    EXPECT_EQ(data, WideBytes(L"8.5.100.0"));
    EXPECT_EQ(ValueCount(true), 6u);
}

// Tests that an install folder too long for the 1024-byte text buffer fails the entry instead of
// storing a cut path.
TEST_F(SystemIntegration, OverlongTextFailsEntry) {
    SetNative64BitOverrideForTesting(true);
    GetInstallSettings().InstallDir = W("C:\\" + std::string(1100, 'x'));
    EXPECT_EQ(WriteUninstallEntry(), -1);
    DWORD type = 0;
    std::vector<uint8_t> data;
    EXPECT_FALSE(ReadValue(true, L"UninstallString", type, data));
}

// Tests that the desktop link names the terminal and the install folder, and is the very file the
// uninstall entry's "Shortcut" value names.
TEST_F(SystemIntegration, DesktopLinkReadsBack) {
    const std::string dir = A(GetInstallSettings().InstallDir);
    ASSERT_TRUE(WriteWholeFile(dir + "\\TalvikTradeSafe.exe", "MZ"));
    ASSERT_TRUE(CreateDesktopShortcut());
    SetNative64BitOverrideForTesting(true);
    ASSERT_EQ(WriteUninstallEntry(), 0);

    DWORD type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(ReadValue(true, L"Shortcut", type, data));
    std::wstring linkPath(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    std::wstring desktop;
    GetSpecialFolderPath(CSIDL_DESKTOPDIRECTORY, desktop);
    EXPECT_EQ(linkPath, desktop + L"\\" + Wide936(std::string(kProductGbk) + "v8.5.lnk"));
    ASSERT_NE(GetFileAttributesW(linkPath.c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    IShellLinkW* link = nullptr;
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(&link))));
    IPersistFile* file = nullptr;
    ASSERT_TRUE(SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))));
    EXPECT_TRUE(SUCCEEDED(file->Load(linkPath.c_str(), STGM_READ)));
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {};
    link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    link->GetWorkingDirectory(folder, MAX_PATH);
    file->Release();
    link->Release();
    CoUninitialize();
    EXPECT_EQ(std::wstring(target), Wide936(dir + "\\TalvikTradeSafe.exe"));
    EXPECT_EQ(std::wstring(folder), Wide936(dir));
}

// Tests that the configuration files get their one key each in section "orvane" and keep every other key.
TEST_F(SystemIntegration, ConfigFilesKeepOtherKeys) {
    const std::string dir = A(GetInstallSettings().InstallDir);
    const std::string pub = dir + "\\config\\orvane.Default.pub";
    const std::string pri = dir + "\\config\\orvane.Default.pri";
    ASSERT_TRUE(
        WriteWholeFile(pub, "[orvane]\r\nserver=quote1\r\npackage=000001\r\n[view]\r\ntheme=dark\r\n"));
    GetInstallSettings().UiLanguage = 1028;
    WriteConfigFiles();

    char value[64] = {};
    GetPrivateProfileStringA("orvane", "package", "", value, sizeof value, pub.c_str());
    EXPECT_STREQ(value, kScratchPackage);
    GetPrivateProfileStringA("orvane", "server", "", value, sizeof value, pub.c_str());
    EXPECT_STREQ(value, "quote1");
    GetPrivateProfileStringA("view", "theme", "", value, sizeof value, pub.c_str());
    EXPECT_STREQ(value, "dark");
    GetPrivateProfileStringA("orvane", "language", "", value, sizeof value, pri.c_str());
    EXPECT_STREQ(value, "1028");
    GetPrivateProfileStringA("orvane", "language", "", value, sizeof value, pub.c_str());
    EXPECT_STREQ(value, ""); // each file has its own key only
}

// Tests the copy command (XCOPY by its full path, paths quoted, no shell) and that the copy it runs
// brings files and empty folders, also from a folder whose name a shell would expand.
TEST_F(SystemIntegration, CopyCommandCopiesTree) {
    const std::wstring xcopy = SystemProgramPath(L"xcopy.exe");
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(xcopy, std::wstring(system) + L"\\xcopy.exe");
    EXPECT_EQ(FormatCopyCommand(L"C:\\w\\xcopy.exe", L"C:\\a", L"C:\\b"),
              L"\"C:\\w\\xcopy.exe\" \"C:\\a\" \"C:\\b\\\\\" /S /E /Y /C");
    EXPECT_EQ(FormatCopyCommand(xcopy, std::wstring(40000, L'a'), L"C:\\b"), L"");

    const std::string from = scratch / "from%PATH%";
    const std::string to = scratch / "to";
    ASSERT_TRUE(WriteWholeFile(from + "\\top.txt", "t"));
    ASSERT_TRUE(WriteWholeFile(from + "\\sub\\deep\\d.bin", std::string(5000, 'd')));
    ASSERT_TRUE(CreateDirectoryA((from + "\\empty").c_str(), nullptr));
    EXPECT_TRUE(CopyTree(W(from), W(to)));
    EXPECT_EQ(ListTree(to), ListTree(from));
    EXPECT_EQ(ReadWholeFile(to + "\\sub\\deep\\d.bin"), std::string(5000, 'd'));

    EXPECT_FALSE(RunProgramAndWait(SystemProgramPath(L"no-such-program.exe"), L"x"));
    EXPECT_FALSE(CopyTree(W(scratch / "no-such-folder"), W(scratch / "to2")));
}

// Tests that the terminal is started with the single argument end and the install folder as current
// folder.
TEST_F(SystemIntegration, LaunchesTerminalWithEnd) {
    const std::string dir = A(GetInstallSettings().InstallDir);
    ASSERT_TRUE(CopyFileA(StandInTerminalPath().c_str(), (dir + "\\TalvikTradeSafe.exe").c_str(), FALSE));
    ASSERT_TRUE(LaunchTerminal());
    ASSERT_TRUE(WaitForFile(dir + "\\launch.txt", 10000));

    std::istringstream record(ReadWholeFile(dir + "\\launch.txt").value_or(""));
    DWORD pid = 0;
    std::string argc, arg, current;
    record >> pid;
    record.ignore();
    std::getline(record, argc);
    std::getline(record, arg);
    std::getline(record, current);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
    EXPECT_EQ(argc, "1");
    EXPECT_EQ(arg, "end");
    EXPECT_EQ(current, dir);

    GetInstallSettings().InstallDir = W(scratch / "nowhere");
    EXPECT_FALSE(LaunchTerminal());
}
