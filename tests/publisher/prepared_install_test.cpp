// Tests that the project's own service clients (ProcessCheck, ProcessDL), which decode every packet with
// the bounds-checking LZO1X decoder, install a package byte for byte from the publisher's prepared
// LZO1X-999 messages.
#include "client_harness.h"

#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <thread>

using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

void WriteTextPackage(const fs::path& root) {
    std::ofstream(root / "package.json") << R"({
  "package": "000185", "version": {"part3": 12, "part4": 3},
  "users": [{"name": "tulip", "password": "tulip"}],
  "modules": [{"name": "server", "versionA": 3, "versionB": 4, "folder": "modules/server"}]})";
    WriteFile(root, "modules/server/docs/manual.txt", Compressible(700000, 5));
    WriteFile(root, "modules/server/bin/tool.exe", Pattern(40000, 6));
    WriteFile(root, "modules/server/readme.txt", Compressible(1001 * 100, 7)); // one whole message
}

} // namespace

// Tests the whole install through the installer's clients once every file is prepared: each file
// arrives exactly, and the download came from prepared messages.
TEST(PreparedInstallTest, InstallerClientsDecodePreparedMessagesExactly) {
    ServedPackage pub(WriteTextPackage);
    ASSERT_TRUE(pub.process->started());
    for (int i = 0; i < 1200 && pub.Log().find("3 of 3 files prepared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(pub.Log().find("3 of 3 files prepared"), std::string::npos) << pub.Log();

    ClientHarness h;
    ASSERT_TRUE(h.check.SetServer("127.0.0.1", pub.process->checkPort()) && h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    auto written = ListTree(TempDirText());
    std::erase_if(written, [](const auto& f) { return f.first.rfind("log/", 0) == 0; });
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> expected{
        {"bin/tool.exe", Pattern(40000, 6)},
        {"docs/manual.txt", Compressible(700000, 5)},
        {"readme.txt", Compressible(1001 * 100, 7)},
    };
    EXPECT_EQ(written, expected);
    EXPECT_EQ(pub.process->Stop(), 0);
    EXPECT_NE(pub.Log().find("of them prepared)"), std::string::npos) << pub.Log();
}
