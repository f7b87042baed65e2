// Tests of what --check-config says about a package installers would install but not run.
#include "publisher/package/load_package.h"
#include "publisher/package/installer_expectations.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace publisher;
using namespace publisher::testing;

namespace {

// Two modules, the first listed but never downloaded; `files` go below the downloaded one's folder.
InstallerFindings Findings(const std::vector<std::string>& files,
                           const std::vector<std::string>& skipped = {}) {
    TempFolder root;
    std::ofstream(root.path() / "package.json")
        << R"({"package": "000185", "version": {"part3": 1, "part4": 2},
      "users": [{"name": "tulip", "password": "tulip"}],
      "modules": [{"name": "old", "versionA": 1, "versionB": 1, "state": "D", "folder": "skipped"},
                  {"name": "main", "versionA": 1, "versionB": 1, "folder": "main"}]})";
    WriteFile(root.path(), "main/keep.txt", {'k'});
    WriteFile(root.path(), "skipped/keep.txt", {'k'});
    for (const std::string& f : files)
        WriteFile(root.path(), "main/" + f, {'x'});
    for (const std::string& f : skipped)
        WriteFile(root.path(), "skipped/" + f, {'x'});
    auto load = LoadPackage(root.path());
    EXPECT_TRUE(load.ok()) << load.error().message();
    return load.ok() ? CheckInstallerExpectations(*load) : InstallerFindings{};
}

} // namespace

// Tests that the layout installers expect passes silently, whatever the case of the names.
TEST(InstallerExpectationsTest, TheExpectedLayoutPasses) {
    auto f = Findings({"talviktradesafe.EXE", "Uninstall.exe", "server/DEPEND.zip"});
    EXPECT_TRUE(f.errors.empty());
    EXPECT_TRUE(f.warnings.empty()) << f.warnings.front();
}

// Tests that a terminal below a subfolder or only in a module installers skip is refused, and that a
// missing uninstaller and a dependency archive installers would leave packed are warned about by path.
TEST(InstallerExpectationsTest, MisplacedFilesAreNamed) {
    auto f =
        Findings({"bin/TalvikTradeSafe.exe", "deps/depend.zip"}, {"TalvikTradeSafe.exe", "uninstall.exe"});
    ASSERT_EQ(f.errors.size(), 1u);
    EXPECT_NE(f.errors[0].find("TalvikTradeSafe.exe"), std::string::npos);
    ASSERT_EQ(f.warnings.size(), 2u);
    EXPECT_NE(f.warnings[0].find("uninstall.exe"), std::string::npos);
    EXPECT_NE(f.warnings[1].find("deps\\depend.zip"), std::string::npos) << f.warnings[1];
}
