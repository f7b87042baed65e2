// Tests that the install location is computed from the application-data folder and the package number,
// and that the shared shell operations delete and re-encode as the install steps rely on.
#include "install/install_location.h"

#include "tests/install/test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <cstring>

// Tests that the two folders for package 000185 are siblings below the roaming application-data folder.
TEST(InstallLocation, FoldersForPackage000185) {
    StateGuard guard;
    InstallSettings settings;
    InitInstallPaths(settings);

    wchar_t appData[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData), S_OK);
    EXPECT_EQ(settings.InstallDir, std::wstring(appData) + L"\\Orvane000185v8.5");
    EXPECT_EQ(settings.TempDir, std::wstring(appData) + L"\\Orvane000185v8.5temp");
}

// Tests that GetSpecialFolderPath appends to the text it is given rather than replacing it.
TEST(InstallLocation, SpecialFolderPathAppends) {
    std::wstring text = L"prefix:";
    GetSpecialFolderPath(CSIDL_APPDATA, text);
    wchar_t appData[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData), S_OK);
    EXPECT_EQ(text, std::wstring(L"prefix:") + appData);
}

// Tests that DeleteFolder removes a single file, a whole tree, and reports a missing path as a failure.
TEST(InstallLocation, DeleteFolderFileTreeAndMissing) {
    ScratchFolder scratch;
    ASSERT_TRUE(WriteWholeFile(scratch / "keep.txt", "k"));
    ASSERT_TRUE(WriteWholeFile(scratch / "single.txt", "s"));
    ASSERT_TRUE(WriteWholeFile(scratch / "tree\\a\\b\\deep.txt", "d"));
    ASSERT_TRUE(WriteWholeFile(scratch / "tree\\top.txt", "t"));

    EXPECT_TRUE(DeleteFolder(W(scratch / "single.txt")));
    EXPECT_FALSE(PathExists(scratch / "single.txt"));
    EXPECT_TRUE(IsFile(scratch / "keep.txt"));

    EXPECT_TRUE(DeleteFolder(W(scratch / "tree")));
    EXPECT_FALSE(PathExists(scratch / "tree"));
    EXPECT_TRUE(IsFile(scratch / "keep.txt"));

    EXPECT_FALSE(DeleteFolder(W(scratch / "missing")));
    EXPECT_FALSE(DeleteFolder(L""));
    EXPECT_TRUE(IsFile(scratch / "keep.txt"));
}

// Tests that a Traditional Chinese text in code page 950 comes back as the same characters in code page
// 936, also when it fills the whole buffer.
TEST(InstallLocation, ConvertBig5ToGbk) {
    char buffer[MAX_PATH] = {};
    // "安裝" in code page 950 becomes the same characters in code page 936.
    std::strcpy(buffer, "\xa6\x77\xb8\xcb Orvane");
    EXPECT_TRUE(ConvertBig5ToGbk(buffer));
    EXPECT_STREQ(buffer, "\xb0\xb2\xd1\x62 Orvane");

    // 129 double-byte characters and one letter: 259 bytes, the most the buffer holds.
    char longText[MAX_PATH] = {};
    for (int i = 0; i < 129; ++i)
        std::memcpy(longText + 2 * i, "\xa6\x77", 2);
    longText[258] = 'x';
    std::memcpy(buffer, longText, sizeof buffer);
    EXPECT_TRUE(ConvertBig5ToGbk(buffer));
    EXPECT_EQ(std::strlen(buffer), 259u);
    EXPECT_EQ(buffer[258], 'x');
    EXPECT_EQ(std::memcmp(buffer, "\xb0\xb2", 2), 0);
}
