// Tests of loading and validating a package folder.
#include "publisher/package/load_package.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace publisher;
using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

void WriteManifest(const fs::path& root, const std::string& modules, const std::string& package = "000185") {
    std::ofstream(root / "package.json")
        << R"({"package": ")" << package << R"(", "version": {"part3": 1, "part4": 2},
        "users": [{"name": "tulip", "password": "tulip"}], "modules": [)"
        << modules << "]}";
}

// The refusal for a manifest, or "" when it loads.
std::string Refusal(const fs::path& root) {
    auto load = LoadPackage(root);
    return load.ok() ? "" : load.error().message();
}

} // namespace

// Tests that the standard package loads with its records and files laid over the download folder.
TEST(PackageTest, LoadsModulesFilesAndRecords) {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    auto load = LoadPackage(tmp.path());
    ASSERT_TRUE(load.ok()) << load.error().message();
    const Package& p = *load;
    EXPECT_EQ(p.packageNo, "000185");
    EXPECT_EQ(p.verPart3, 12u);
    EXPECT_EQ(p.verPart4, 3u);
    ASSERT_EQ(p.modules.size(), 3u);
    const PackageModule& server = p.modules[0];
    EXPECT_EQ(server.record.Name(), "server");
    EXPECT_EQ(server.record.Package(), "000185");
    EXPECT_EQ(server.record.ModuleVerA, 1u);
    EXPECT_EQ(server.record.ModuleVerB, 2u);
    EXPECT_EQ(server.record.State, 'U');
    ASSERT_EQ(server.files.size(), 3u);
    // Folder by folder, names sorted: deps\ before empty.txt, deeper folders first inside deps\.
    EXPECT_EQ(server.files[0].relDir, "deps\\a\\b\\c\\");
    EXPECT_EQ(server.files[0].fileName, "deep.bin");
    EXPECT_EQ(server.files[1].relDir, "deps\\");
    EXPECT_EQ(server.files[1].fileName, "depend.zip");
    EXPECT_EQ(server.files[2].relDir, "");
    EXPECT_EQ(server.files[2].fileName, "empty.txt");
    EXPECT_EQ(p.modules[1].record.State, 'U');
    EXPECT_EQ(p.modules[2].record.State, 'D');
    EXPECT_TRUE(p.modules[2].files.empty());
    EXPECT_TRUE(p.CheckUser("tulip", "tulip"));
    EXPECT_FALSE(p.CheckUser("tulip", "tulips"));
    EXPECT_EQ(p.FindModule("client"), &p.modules[1]);
    EXPECT_EQ(p.FindModule("clien"), nullptr);
}

// Tests that names at the limits of their fields load and one byte more is refused, naming the
// manifest, the field and the offending file.
TEST(PackageTest, RefusesNamesWiderThanTheirFields) {
    TempFolder ok;
    std::string name50(50, 'm');
    WriteFile(ok.path(), "m/" + std::string(58, 'f'), {1});
    WriteFile(ok.path(), "m/" + std::string(99, 'd') + "/x", {1}); // RelDir of 100 bytes with the backslash
    WriteManifest(ok.path(), R"({"name": ")" + name50 + R"(", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_EQ(Refusal(ok.path()), "");

    TempFolder longName;
    WriteManifest(longName.path(), R"({"name": ")" + name50 + R"(x", "versionA": 1, "versionB": 1})");
    std::string why = Refusal(longName.path());
    EXPECT_NE(why.find("package.json: modules[0].name:"), std::string::npos) << why;
    EXPECT_NE(why.find("at most 50"), std::string::npos) << why;

    TempFolder longFile;
    WriteFile(longFile.path(), "m/" + std::string(59, 'f'), {1});
    WriteManifest(longFile.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    why = Refusal(longFile.path());
    EXPECT_NE(why.find("modules[0].folder"), std::string::npos) << why;
    EXPECT_NE(why.find("FileName"), std::string::npos) << why;
    EXPECT_NE(why.find(std::string(59, 'f')), std::string::npos) << why;

    TempFolder longDir;
    WriteFile(longDir.path(), "m/" + std::string(100, 'd') + "/x", {1});
    WriteManifest(longDir.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    why = Refusal(longDir.path());
    EXPECT_NE(why.find("RelDir"), std::string::npos) << why;

    TempFolder longPackage;
    WriteManifest(longPackage.path(), "", "0123456789");
    EXPECT_NE(Refusal(longPackage.path()).find("package.json: package:"), std::string::npos);
}

// Tests that malformed manifests are refused with the field at fault.
TEST(PackageTest, RefusesMalformedManifests) {
    struct Case {
        std::string modules;
        std::string field;
    } cases[] = {
        {R"({"name": "a", "versionA": 1})", "modules[0].versionB: missing"},
        {R"({"name": "a", "versionA": -1, "versionB": 1})", "modules[0].versionA"},
        {R"({"name": "a", "versionA": 4294967296, "versionB": 1})", "modules[0].versionA"},
        {R"({"name": "a", "versionA": 1, "versionB": 1, "state": "UU"})", "modules[0].state"},
        {R"({"name": "a", "versionA": 1, "versionB": 1, "folders": "m"})",
         "modules[0].folders: unknown field"},
        {R"({"name": "a", "versionA": 1, "versionB": 1}, {"name": "a", "versionA": 1, "versionB": 1})",
         "modules[1].name: \"a\" is listed twice"},
        {R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "missing"})", "modules[0].folder"},
        {R"({"name": "a", "versionA": 1, "versionB": 1, "folder": ".."})", "outside the package folder"},
        {R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "/etc"})", "must be relative"},
    };
    for (const Case& c : cases) {
        TempFolder tmp;
        WriteManifest(tmp.path(), c.modules);
        std::string why = Refusal(tmp.path());
        EXPECT_NE(why.find(c.field), std::string::npos) << c.modules << " -> " << why;
        EXPECT_NE(why.find("package.json"), std::string::npos) << why;
    }

    TempFolder broken;
    std::ofstream(broken.path() / "package.json") << "{\"package\": ";
    EXPECT_NE(Refusal(broken.path()).find("package.json"), std::string::npos);

    TempFolder none;
    EXPECT_NE(Refusal(none.path()).find("package.json: cannot be read"), std::string::npos);
}

// Tests that a refusal, which is printed and logged, names a password's field but never shows the
// password, even where the JSON around it is broken.
TEST(PackageTest, RefusalsNeverShowAPassword) {
    const std::string secret = "s3cr3t-and-long-enough-to-refuse";
    for (const std::string& users : {R"([{"name": "tulip", "password": ")" + secret + R"("}])",
                                     R"([{"name": "tulip", "password": ")" + secret + "\xff\"}]",
                                     R"([{"name": "tulip", "password": ")" + secret + R"(\q"}])"}) {
        TempFolder tmp;
        std::ofstream(tmp.path() / "package.json")
            << R"({"package": "000185", "version": {"part3": 1, "part4": 2}, "users": )" << users
            << R"(, "modules": []})";
        std::string why = Refusal(tmp.path());
        EXPECT_NE(why.find("package.json"), std::string::npos) << why;
        EXPECT_EQ(why.find("s3cr3t"), std::string::npos) << why;
    }
}

// Tests that links and special files in a module folder are refused rather than served.
TEST(PackageTest, RefusesLinksAndSpecialFiles) {
    TempFolder link;
    WriteFile(link.path(), "m/real", {1});
    fs::create_symlink("/etc/hostname", link.path() / "m" / "link");
    WriteManifest(link.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_NE(Refusal(link.path()).find("symbolic link"), std::string::npos);

    TempFolder fifo;
    fs::create_directories(fifo.path() / "m");
    ASSERT_EQ(mkfifo((fifo.path() / "m" / "pipe").c_str(), 0600), 0);
    WriteManifest(fifo.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_NE(Refusal(fifo.path()).find("not a regular file"), std::string::npos);
}

// Tests that every name goes out in code page 936: module name, package number, folders and file
// names; and that the field widths count the converted bytes, not the UTF-8 ones.
TEST(PackageTest, SendsNamesInCodePage936) {
    TempFolder tmp;
    // "说" is E8 AF B4 in UTF-8 and CB B5 in code page 936.
    WriteFile(tmp.path(), "m/\xE8\xAF\xB4/a.txt", {1});
    WriteFile(tmp.path(), "m/\xE6\x95\xB0\xE6\x8D\xAE.bin", {2}); // "数据" = CA FD BE DD
    // 25 characters: 75 bytes of UTF-8 but 50 in code page 936, which fit the module name.
    std::string wide;
    for (int i = 0; i < 25; ++i)
        wide += "\xE8\xAF\xB4";
    WriteManifest(tmp.path(),
                  R"({"name": "\u8bf4\u660e", "versionA": 1, "versionB": 1, "folder": "m"},
                     {"name": ")" +
                      wide + R"(", "versionA": 1, "versionB": 1})",
                  "\xE5\x8C\x85");
    auto load = LoadPackage(tmp.path());
    ASSERT_TRUE(load.ok()) << load.error().message();
    const Package& p = *load;
    EXPECT_EQ(p.packageNo, "\xB0\xFC");
    const PackageModule& m = p.modules.at(0);
    EXPECT_EQ(m.record.Name(), "\xCB\xB5\xC3\xF7");
    EXPECT_EQ(m.record.Package(), "\xB0\xFC");
    EXPECT_EQ(m.label, "\xE8\xAF\xB4\xE6\x98\x8E");
    EXPECT_EQ(p.FindModule("\xCB\xB5\xC3\xF7"), &m);
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].fileName, "\xCA\xFD\xBE\xDD.bin");
    EXPECT_EQ(m.files[0].relDir, "");
    EXPECT_EQ(m.files[1].relDir, "\xCB\xB5\\");
    EXPECT_EQ(m.files[1].fileName, "a.txt");
    EXPECT_EQ(m.files[1].source, tmp.path() / "m/\xE8\xAF\xB4/a.txt");
    EXPECT_EQ(p.modules.at(1).record.Name().size(), 50u);

    // One character more is 52 bytes: refused although 78 UTF-8 bytes were never the measure.
    TempFolder wider;
    WriteManifest(wider.path(),
                  R"({"name": ")" + wide + "\xE8\xAF\xB4" + R"(", "versionA": 1, "versionB": 1})");
    std::string why = Refusal(wider.path());
    EXPECT_NE(why.find("modules[0].name"), std::string::npos) << why;
    EXPECT_NE(why.find("52 bytes in code page 936"), std::string::npos) << why;

    // 20 Chinese characters in a file name are 40 bytes and fit; 30 are 60 and do not.
    TempFolder longFile;
    std::string twenty, thirty;
    for (int i = 0; i < 20; ++i)
        twenty += "\xE8\xAF\xB4";
    thirty = twenty;
    for (int i = 0; i < 10; ++i)
        thirty += "\xE8\xAF\xB4";
    WriteFile(longFile.path(), "m/" + twenty, {1});
    WriteManifest(longFile.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_EQ(Refusal(longFile.path()), "");
    WriteFile(longFile.path(), "m/" + thirty, {1});
    why = Refusal(longFile.path());
    EXPECT_NE(why.find("FileName is 60 bytes in code page 936"), std::string::npos) << why;
}

// Tests that names code page 936 cannot hold, or Windows cannot create, refuse the start with the
// manifest, the field and the file named.
TEST(PackageTest, RefusesNamesTheInstallerCannotCreate) {
    const std::string badFiles[] = {"aux.txt",    "AUX", "Com1.log", "lpt9",
                                    "nul.tar.gz", "a:b", "x.",       "x ",
                                    "tab\there",  "q?",  "pipe|it",  "\xF0\x9F\x98\x80" /* an emoji */,
                                    "\xC3\x28" /* no UTF-8 */};
    for (const std::string& name : badFiles) {
        SCOPED_TRACE(name);
        TempFolder tmp;
        WriteFile(tmp.path(), "m/sub/" + name, {1});
        WriteManifest(tmp.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
        std::string why = Refusal(tmp.path());
        EXPECT_NE(why.find("package.json: modules[0].folder: "), std::string::npos) << why;
        EXPECT_NE(why.find((tmp.path() / "m/sub" / name).string()), std::string::npos) << why;
    }
    // The same rules hold for folders on the way.
    TempFolder folder;
    WriteFile(folder.path(), "m/con/x.txt", {1});
    WriteManifest(folder.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_NE(Refusal(folder.path()).find("reserved device name"), std::string::npos);
    // Names that only look alike pass: a device name inside a longer word, a dot inside.
    TempFolder fine;
    WriteFile(fine.path(), "m/auxiliary.txt", {1});
    WriteFile(fine.path(), "m/com10", {1});
    WriteFile(fine.path(), "m/.hidden", {1});
    WriteFile(fine.path(), "m/\xE4\xB9\x97", {1}); // 81 5C: the installer keeps the character whole
    WriteManifest(fine.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_EQ(Refusal(fine.path()), "");
    // Two files Windows would take for one.
    TempFolder cased;
    WriteFile(cased.path(), "m/Readme.TXT", {1});
    WriteFile(cased.path(), "m/readme.txt", {2});
    WriteManifest(cased.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_NE(Refusal(cased.path()).find("upper and lower case"), std::string::npos);
    // Two characters whose second bytes differ only as a letter's case (丄 is 81 41, 乤 81 61) are two names.
    TempFolder trail;
    WriteFile(trail.path(), "m/\xE4\xB8\x84", {1});
    WriteFile(trail.path(), "m/\xE4\xB9\xA4", {2});
    WriteManifest(trail.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    EXPECT_EQ(Refusal(trail.path()), "");
    // Module names and user names that code page 936 cannot hold.
    TempFolder module;
    WriteManifest(module.path(), R"({"name": "\ud83d\ude00", "versionA": 1, "versionB": 1})");
    EXPECT_NE(Refusal(module.path()).find("modules[0].name: "), std::string::npos);
}

// Tests that the package folder's own files are never served: a module folder that is the package
// folder, however it is written, and the manifest linked into a module folder are refused.
TEST(PackageTest, NeverServesThePackageFolderItself) {
    for (const char* folder : {".", "./", "m/..", "m/../."}) {
        SCOPED_TRACE(folder);
        TempFolder tmp;
        WriteFile(tmp.path(), "m/a.bin", {1});
        WriteManifest(tmp.path(), std::string(R"({"name": "a", "versionA": 1, "versionB": 1, "folder": ")") +
                                      folder + R"("})");
        std::string why = Refusal(tmp.path());
        EXPECT_NE(why.find("package.json: modules[0].folder: "), std::string::npos) << why;
        EXPECT_NE(why.find("is the package folder itself"), std::string::npos) << why;
    }
    TempFolder linked;
    WriteFile(linked.path(), "m/a.bin", {1});
    WriteManifest(linked.path(), R"({"name": "a", "versionA": 1, "versionB": 1, "folder": "m"})");
    fs::create_hard_link(linked.path() / "package.json", linked.path() / "m" / "copy.json");
    EXPECT_NE(Refusal(linked.path()).find("the manifest itself"), std::string::npos);
}
