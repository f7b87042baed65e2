// Tests that a package with Chinese module, folder and file names installs through the project's own
// service clients (ProcessCheck, ProcessDL) from the real publisher: each file arrives byte for byte
// at the path the installer builds from the code page 936 names.
#include "client_harness.h"

#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <fstream>

using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

// UTF-8 on the publisher's side, as a deployer's folder holds them.
#define SHUO "\xE8\xAF\xB4"                              // 说: CB B5 in code page 936
#define SHUOMING "\xE8\xAF\xB4\xE6\x98\x8E"              // 说明: CB B5 C3 F7
#define SHUJU "\xE6\x95\xB0\xE6\x8D\xAE"                 // 数据: CA FD BE DD
#define WENJIANYI "\xE6\x96\x87\xE4\xBB\xB6\xE4\xB8\x80" // 文件一: CE C4 BC FE D2 BB
#define PEIZHI "\xE9\x85\x8D\xE7\xBD\xAE"                // 配置: C5 E4 D6 C3
#define MOKUAI "\xE6\xA8\xA1\xE5\x9D\x97"                // 模块: C4 A3 BF E9
#define CHENG "\xE4\xB9\x97"                             // 乗: 81 5C, a backslash as second byte

void WriteChinesePackage(const fs::path& root) {
    std::ofstream(root / "package.json") << R"({
  "package": "000185", "version": {"part3": 12, "part4": 3},
  "users": [{"name": "tulip", "password": "tulip"}],
  "modules": [
    {"name": ")" SHUOMING R"(", "versionA": 1, "versionB": 2, "folder": ")" MOKUAI "/" SHUOMING R"("},
    {"name": "server", "versionA": 3, "versionB": 4, "folder": "modules/server"}
  ]})";
    WriteFile(root, MOKUAI "/" SHUOMING "/" SHUO "/a.txt", Pattern(10, 1));
    WriteFile(root, MOKUAI "/" SHUOMING "/" SHUJU "/" WENJIANYI ".bin", Pattern(5000, 2));
    WriteFile(root, MOKUAI "/" SHUOMING "/" PEIZHI ".ini", Pattern(3, 3));
    WriteFile(root, MOKUAI "/" SHUOMING "/" CHENG "/" CHENG ".txt", Pattern(7, 5));
    WriteFile(root, "modules/server/deps/depend.zip", Pattern(300000, 4));
}

} // namespace

// Tests the whole install of Chinese names: the module list carries the code page 936 name, and the
// files land in folders named by the code page 936 bytes (no backslash swallowed, no folder merged).
TEST(Cp936InstallTest, ChineseNamesArriveWhereTheInstallerPutsThem) {
    ServedPackage pub(WriteChinesePackage);
    ASSERT_TRUE(pub.process->started());
    ClientHarness h;
    ASSERT_TRUE(h.check.SetServer("127.0.0.1", pub.process->checkPort()) && h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    ASSERT_EQ(GetModuleList().size(), 2u);
    EXPECT_EQ(GetModuleList()[0].Name(), "\xCB\xB5\xC3\xF7");

    auto written = ListTree(TempDirText());
    std::erase_if(written, [](const auto& f) { return f.first.rfind("log/", 0) == 0; });
    std::vector<std::pair<std::string, std::vector<uint8_t>>> expected{
        {"deps/depend.zip", Pattern(300000, 4)},
        {"\x81\x5C/\x81\x5C.txt", Pattern(7, 5)},
        {"\xC5\xE4\xD6\xC3.ini", Pattern(3, 3)},
        {"\xCA\xFD\xBE\xDD/\xCE\xC4\xBC\xFE\xD2\xBB.bin", Pattern(5000, 2)},
        {"\xCB\xB5/a.txt", Pattern(10, 1)},
    };
    EXPECT_EQ(written, expected);
    EXPECT_TRUE(h.FilesOutsideTempDir().empty());
}
