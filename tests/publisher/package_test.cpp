// Tests of loading and validating a package folder.
#include "publisher/package.h"
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
    PackageLoad load = LoadPackage(root);
    return load.package ? "" : load.error;
}

} // namespace

// Tests that the standard package loads with its records and files laid over the download folder.
TEST(PackageTest, LoadsModulesFilesAndRecords) {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    PackageLoad load = LoadPackage(tmp.path());
    ASSERT_TRUE(load.package) << load.error;
    const Package& p = *load.package;
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
