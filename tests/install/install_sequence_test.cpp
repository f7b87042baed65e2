// Tests that the install steps, fed a downloaded tree, leave the install folder equal to the package
// plus its records and unpacked dependencies, with the registry entry, link and configuration written.
#include "install/install_sequence.h"

#include "install/system_integration.h"
#include "tests/install/test_support.h"
#include "tests/install/zip_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

namespace {

constexpr char kSubkey[] = "Orvane_h6seqv8.5";

std::string SubkeyPath() {
    return std::string(UninstallParentKey(IsNative64Bit())) + kSubkey;
}

} // namespace

// Tests a whole install over an earlier one: the old folder's stray files go, the package arrives with
// module.info, update.ini and its log, server\depend.zip is unpacked and removed, TempDir is gone.
TEST(InstallSequence, DownloadedTreeBecomesInstallFolder) {
    StateGuard guard;
    ScratchFolder scratch;
    InstallSettings& s = GetInstallSettings();
    s.PackageNo = "h6seq";
    s.ProductName = "OrvaneSeq";
    s.InstallDir = scratch / "Orvane000185v8.5";
    s.TempDir = s.InstallDir + "temp";
    s.NewVerPart3 = 12;
    s.NewVerPart4 = 3;
    s.UiLanguage = 2052;
    GetModuleList().clear();
    for (const char* name : {"main", "server"}) {
        ModuleRecord r;
        std::strcpy(r.PackageNo, "000185");
        std::strcpy(r.ModuleName, name);
        r.State = 'N';
        GetModuleList().push_back(r);
    }

    // The previous installation, with a file the new package does not bring.
    ASSERT_TRUE(WriteWholeFile(s.InstallDir + "\\stale.txt", "old"));
    ASSERT_TRUE(WriteWholeFile(s.InstallDir + "\\TalvikTradeSafe.exe", "old exe"));
    // The downloaded package.
    const std::string t = s.TempDir;
    ASSERT_TRUE(WriteWholeFile(t + "\\TalvikTradeSafe.exe", "new exe"));
    ASSERT_TRUE(WriteWholeFile(t + "\\uninstall.exe", "MZ"));
    ASSERT_TRUE(WriteWholeFile(t + "\\log\\install.log", "[10:00:00 000]\t\tOnModuleDL\xa3\xba"
                                                         "Connect\r\n"));
    ASSERT_TRUE(WriteWholeFile(t + "\\server\\server.cfg", "cfg"));
    ASSERT_TRUE(WriteWholeFile(t + "\\data\\quotes\\q.dat", std::string(70000, 'q')));
    ASSERT_TRUE(CreateDirectoryA((t + "\\config").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((t + "\\cache").c_str(), nullptr));
    ZipEntrySpec lib;
    lib.name = "lib/dep.dll";
    lib.data = std::string(9000, 'L');
    lib.deflate = true;
    ZipEntrySpec folder;
    folder.name = "plugins/";
    folder.externalAttributes = 0x10;
    ASSERT_TRUE(WriteZip(t + "\\server\\depend.zip", {lib, folder}));

    InstallDownloadedPackage();

    EXPECT_EQ(ListTree(s.InstallDir),
              (std::set<std::string>{"TalvikTradeSafe.exe", "uninstall.exe", "module.info", "update.ini",
                                     "log\\", "log\\install.log", "server\\", "server\\server.cfg",
                                     "server\\lib\\", "server\\lib\\dep.dll", "server\\plugins\\", "data\\",
                                     "data\\quotes\\", "data\\quotes\\q.dat", "config\\",
                                     "config\\orvane.Default.pub", "config\\orvane.Default.pri", "cache\\"}));
    EXPECT_EQ(ReadWholeFile(s.InstallDir + "\\TalvikTradeSafe.exe"), "new exe");
    EXPECT_EQ(ReadWholeFile(s.InstallDir + "\\server\\lib\\dep.dll"), lib.data);
    EXPECT_EQ(ReadWholeFile(s.InstallDir + "\\module.info").value_or("").size(), 8u + 79u * 2u);
    EXPECT_FALSE(PathExists(s.TempDir));
    EXPECT_EQ(s.CurVerPart3, 12u);

    char value[64] = {};
    GetPrivateProfileStringA("version", "cur", "", value, sizeof value,
                             (s.InstallDir + "\\update.ini").c_str());
    EXPECT_STREQ(value, "8.5.12.3");
    GetPrivateProfileStringA("orvane", "language", "", value, sizeof value,
                             (s.InstallDir + "\\config\\orvane.Default.pri").c_str());
    EXPECT_STREQ(value, "2052");

    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SubkeyPath().c_str(), 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    if (key)
        RegCloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SubkeyPath().c_str());

    const std::string link = DesktopLinkPath();
    EXPECT_TRUE(IsFile(link));
    DeleteFileA(link.c_str());
}
