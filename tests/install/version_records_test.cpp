// Tests that module.info and update.ini record the offered version and every module exactly as laid out.
#include "install/version_records.h"

#include "tests/install/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

namespace {

ModuleRecord MakeRecord(const char* name, uint32_t a, uint32_t b, char state, uint8_t extraSeed) {
    ModuleRecord r;
    std::strncpy(r.PackageNo, "000185", sizeof r.PackageNo - 1);
    std::strncpy(r.ModuleName, name, sizeof r.ModuleName - 1);
    r.ModuleVerA = a;
    r.ModuleVerB = b;
    r.State = state;
    for (int i = 0; i < 8; ++i)
        r.Extra[i] = uint8_t(extraSeed + i);
    return r;
}

class VersionRecords : public ::testing::Test {
  protected:
    void SetUp() override {
        GetInstallSettings().TempDir = W(scratch.Path());
        GetModuleList().clear();
    }
    StateGuard guard;
    ScratchFolder scratch;
};

} // namespace

// Tests that an empty module list gives the 8 version bytes alone, and that the version is copied into
// the installed-version fields.
TEST_F(VersionRecords, EmptyListGivesEightBytes) {
    GetInstallSettings().NewVerPart3 = 12;
    GetInstallSettings().NewVerPart4 = 3;
    WriteModuleInfo();
    auto bytes = ReadWholeFile(scratch / "module.info");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, std::string("\x0c\x00\x00\x00\x03\x00\x00\x00", 8));
    EXPECT_EQ(GetInstallSettings().CurVerPart3, 12u);
    EXPECT_EQ(GetInstallSettings().CurVerPart4, 3u);
}

// Tests that three records give 245 bytes, each record's 79 bytes in list order, 'D' records and Extra
// bytes included, and that an existing longer file is emptied first.
TEST_F(VersionRecords, ThreeRecordsInOrder) {
    ASSERT_TRUE(WriteWholeFile(scratch / "module.info", std::string(1000, 'z')));
    GetInstallSettings().NewVerPart3 = 0x01020304;
    GetInstallSettings().NewVerPart4 = 7;
    GetModuleList().push_back(MakeRecord("server.dll", 1, 2, 'N', 0x10));
    GetModuleList().push_back(MakeRecord("chart.dll", 3, 4, 'D', 0x20));
    GetModuleList().push_back(MakeRecord("quote.dat", 5, 6, 'U', 0x30));
    WriteModuleInfo();

    auto bytes = ReadWholeFile(scratch / "module.info");
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 245u);
    EXPECT_EQ(bytes->substr(0, 8), std::string("\x04\x03\x02\x01\x07\x00\x00\x00", 8));
    for (size_t i = 0; i < 3; ++i) {
        auto expected = GetModuleList()[i].Bytes();
        EXPECT_EQ(bytes->substr(8 + 79 * i, 79), std::string(expected.begin(), expected.end())) << i;
    }
}

// Tests that a module.info that cannot be created leaves the installed version as it was.
TEST_F(VersionRecords, UncreatableFileKeepsVersion) {
    GetInstallSettings().TempDir = W(scratch / "missing-folder");
    GetInstallSettings().CurVerPart3 = 1;
    GetInstallSettings().NewVerPart3 = 9;
    WriteModuleInfo();
    EXPECT_FALSE(PathExists(scratch / "missing-folder\\module.info"));
    EXPECT_EQ(GetInstallSettings().CurVerPart3, 1u);
}

// Tests that update.ini holds [version] cur=8.5.12.3, and that a second write replaces the value.
TEST_F(VersionRecords, UpdateIniVersionText) {
    GetInstallSettings().NewVerPart3 = 12;
    GetInstallSettings().NewVerPart4 = 3;
    WriteUpdateIni();
    const std::string path = scratch / "update.ini";
    char value[64] = {};
    GetPrivateProfileStringA("version", "cur", "", value, sizeof value, path.c_str());
    EXPECT_STREQ(value, "8.5.12.3");

    GetInstallSettings().NewVerPart3 = 13;
    GetInstallSettings().NewVerPart4 = 0;
    WriteUpdateIni();
    GetPrivateProfileStringA("version", "cur", "", value, sizeof value, path.c_str());
    EXPECT_STREQ(value, "8.5.13.0");
    auto text = ReadWholeFile(path);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->find("8.5.12.3"), std::string::npos);
    EXPECT_EQ(FormatPackageVersion(0xffffffffu, 10), "8.5.-1.10");
}
