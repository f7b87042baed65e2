// Tests of the one rule for names from outside (download paths and archive entries): code page 936
// double-byte characters whose second byte is 0x5C stay whole, real climbs and devices are refused.
#include "service/path_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using path_policy::RefuseRelativePath;
using path_policy::RelativePathRules;

namespace {

// 誠 and 運 in code page 936: the second byte of each is a backslash.
constexpr char kCheng[] = "\xd5\x5c";
constexpr char kYun[] = "\xdf\x5c";

std::vector<std::string> Parts(const std::string& path) {
    std::vector<std::string> out;
    for (auto part : path_policy::SplitComponents(path))
        out.emplace_back(part);
    return out;
}

} // namespace

// Tests that a 0x5C trail byte is part of its character, and only whole-character backslashes split.
TEST(PathPolicy, SplitsOnlyAtWholeCharacterBackslashes) {
    EXPECT_EQ(Parts(std::string(kCheng) + ".txt"), (std::vector<std::string>{std::string(kCheng) + ".txt"}));
    EXPECT_EQ(Parts(std::string("a\\") + kYun + "\\b"), (std::vector<std::string>{"a", kYun, "b"}));
    EXPECT_EQ(Parts("a\\\\b\\"), (std::vector<std::string>{"a", "", "b", ""}));
    // A lead byte before a byte that cannot trail it stands alone: the slash after it is a slash.
    EXPECT_EQ(path_policy::ToBackslashes("\x81/a/\xd5\x5c/"), "\x81\\a\\\xd5\x5c\\");
    EXPECT_EQ(path_policy::LastSeparator(std::string("a\\") + kCheng), 1u);
    EXPECT_EQ(path_policy::LastSeparator(kCheng), std::string::npos);
    EXPECT_EQ(path_policy::CharWidth936("\x81", 0), 1u);
    EXPECT_EQ(path_policy::CharWidth936("\x81\x7f", 0), 1u);
    EXPECT_EQ(path_policy::CharWidth936("\x81\x40", 0), 2u);
}

// Tests that the separator walk stops at every whole-character separator, in order, and at none inside a
// double-byte character, whether the separator is "\\" or "/" and wherever it stands.
TEST(PathPolicy, SeparatorsAreWholeCharactersInOrder) {
    auto positions = [](const std::string& path, char separator) {
        std::vector<size_t> out;
        for (size_t at : path_policy::Separators(path, separator))
            out.push_back(at);
        return out;
    };
    EXPECT_EQ(positions(std::string("\\a\\") + kCheng + "\\\\" + kYun, '\\'),
              (std::vector<size_t>{0, 2, 5, 6}));
    EXPECT_EQ(positions(std::string(kCheng) + kYun, '\\'), std::vector<size_t>{});
    EXPECT_EQ(positions("", '\\'), std::vector<size_t>{});
    // A lead byte joins the backslash after it; before a slash it stands alone.
    EXPECT_EQ(positions("\x81\\a\\", '\\'), std::vector<size_t>{3});
    EXPECT_EQ(positions("\x81/a/\xd5/", '/'), (std::vector<size_t>{1, 3, 5}));
}

// Tests that names made of such characters pass, in folders and as files, while a real ".." still fails.
TEST(PathPolicy, DoubleByteNamesPassAndRealClimbsFail) {
    for (const std::string& ok :
         {std::string(kCheng) + ".txt", std::string(kYun) + "\\" + kCheng, std::string("bin\\x64\\a.dll"),
          std::string("..a\\b..c"), std::string(".config\\.hidden"), std::string("console\\com10.txt"),
          std::string("\xd5\x5c\xd5\x5c"), std::string("COM\xb9\xb2.txt")})
        EXPECT_EQ(RefuseRelativePath(ok), nullptr) << ok;

    // "..\x5c" where the backslash is whole, not a trail byte: a climb.
    for (const std::string& bad : {std::string(""),
                                   std::string("..\\a"),
                                   std::string("a\\..\\..\\b"),
                                   std::string("a\\...\\b"),
                                   std::string("a\\. .\\b"),
                                   std::string("\\abs"),
                                   std::string("\\\\host\\share\\a"),
                                   std::string("C:a"),
                                   std::string("a:stream"),
                                   std::string("a/b"),
                                   std::string("a\\\\b"),
                                   std::string("a\\"),
                                   std::string("a\\.\\b"),
                                   std::string("a\x01"),
                                   std::string("a|b"),
                                   std::string("a?"),
                                   std::string("a*"),
                                   std::string("<a>"),
                                   std::string("a\"b"),
                                   std::string("\x81:a"),
                                   std::string(kCheng) + "\\..\\x"})
        EXPECT_NE(RefuseRelativePath(bad), nullptr) << bad;
}

// Tests that every device name is refused in any folder, with any extension and letter case, including
// the superscript ports, and that longer names that merely start like one pass.
TEST(PathPolicy, DeviceNamesAreRefused) {
    for (const char* device :
         {"con", "CON.txt", "Prn", "aux .log", "nul\\a", "a\\NUL", "conin$", "CONOUT$.x", "Com1.txt", "lpt9",
          "COM0", "COM\xb9", "lpt\xb2.txt", "LPT\xb3", "com\xc2\xb9", "LPT\xc2\xb3.dat"})
        EXPECT_STREQ(RefuseRelativePath(device), "device name") << device;
    for (const char* name : {"com10.txt", "console", "nul1", "lpt", "COM\xb4", "auxiliary", "COM\xc2\xb4"})
        EXPECT_EQ(RefuseRelativePath(name), nullptr) << name;
}

// Tests the archive's allowances: "." components and one final separator (a folder entry), no more.
TEST(PathPolicy, ArchiveRulesAllowCurrentFolderAndFolderEntries) {
    RelativePathRules archive;
    archive.allowCurrentFolder = true;
    archive.allowTrailingSeparator = true;
    EXPECT_EQ(RefuseRelativePath(".\\a\\b.txt", archive), nullptr);
    EXPECT_EQ(RefuseRelativePath("plugins\\", archive), nullptr);
    EXPECT_EQ(RefuseRelativePath(std::string(kCheng), archive), nullptr); // its 0x5C is no folder mark
    EXPECT_NE(RefuseRelativePath("plugins\\\\", archive), nullptr);
    EXPECT_NE(RefuseRelativePath("a\\..\\", archive), nullptr);
    EXPECT_NE(RefuseRelativePath("..", archive), nullptr);
    EXPECT_NE(RefuseRelativePath("\\", archive), nullptr);
    EXPECT_NE(RefuseRelativePath(".", archive), nullptr); // the folder itself, nothing below it
    EXPECT_NE(RefuseRelativePath(".\\.\\", archive), nullptr);
}

// Tests the path rule by itself: what stays below the download folder passes, nothing else does.
TEST(SafeDownloadPathTest, AcceptsOnlyPathsBelowTheFolder) {
    EXPECT_TRUE(IsSafeDownloadPath("", "a.txt"));
    EXPECT_TRUE(IsSafeDownloadPath("bin\\x64\\", "a.dll"));
    EXPECT_TRUE(IsSafeDownloadPath("..a\\", "b..c"));
    EXPECT_TRUE(IsSafeDownloadPath(".config\\", ".hidden"));
    EXPECT_TRUE(IsSafeDownloadPath("bin", "x")); // joined as "binx": odd but inside
    EXPECT_TRUE(IsSafeDownloadPath("console\\", "com10.txt"));
    const Status climbing = IsSafeDownloadPath("..\\", "a");
    ASSERT_FALSE(climbing);
    EXPECT_FALSE(climbing.error().message().empty());
    for (auto [rel, file] :
         std::initializer_list<std::pair<const char*, const char*>>{{"", ""},
                                                                    {"\\\\server\\share\\", "a"},
                                                                    {"a\\.\\", "b"},
                                                                    {"a\\", "b\\"},
                                                                    {"a\\", ". ."},
                                                                    {"D:", "a"},
                                                                    {"a/", "b"},
                                                                    {"", "..."},
                                                                    {"", "con"},
                                                                    {"nul\\", "a"},
                                                                    {"", "Com1.txt"},
                                                                    {"", "LPT9"},
                                                                    {"", "aux .log"}})
        EXPECT_FALSE(IsSafeDownloadPath(rel, file)) << rel << " | " << file;
}
