// Tests of the prepared package in the running publisher: downloads from prepared messages, a restart
// that takes them from the cache folder, a file changed after it was prepared, a reload, a cache
// folder that cannot be used, and the refusal of a cache folder inside the package.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"
#include "tests/publisher/test_client.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <thread>

using namespace publisher::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The standard package with text that compresses well beside its binaries.
void WritePreparedPackage(const fs::path& root) {
    WriteStandardPackage(root);
    WriteFile(root, "modules/client/notes.txt", Compressible(300000, 1));
}

// No probes: the check service's probe downloads a module too, and would add to the downloads counted.
const std::vector<std::string> kNoProbe{"--probe-seconds", "0"};

std::vector<std::string> ServeArgs(const fs::path& package, const fs::path& work) {
    return {"--package",   package.string(),
            "--check",     "127.0.0.1:0",
            "--download",  "127.0.0.1:0",
            "--log",       (work / "events.log").string(),
            "--cache-dir", (work / "cache").string(),
            kNoProbe[0],   kNoProbe[1]};
}

// Waits until the log holds `text` `times` times; the preparation runs in the background.
bool WaitForLog(const fs::path& log, const std::string& text, size_t times = 1) {
    for (int i = 0; i < 1200; ++i) {
        if (Count(ReadText(log), text) >= times)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// What an installer's download folder holds after a whole download of `package`.
std::vector<std::pair<std::string, std::vector<uint8_t>>> ExpectedTree(const fs::path& package) {
    auto server = ListTree(package / "modules/server");
    auto client = ListTree(package / "modules/client");
    server.insert(server.end(), client.begin(), client.end());
    server.emplace_back("module.info", std::vector<uint8_t>{});
    std::sort(server.begin(), server.end());
    return server;
}

// Installs into a fresh folder below `work` and returns what arrived.
std::vector<std::pair<std::string, std::vector<uint8_t>>> Installed(uint16_t checkPort, const fs::path& work,
                                                                    const std::string& name) {
    const fs::path target = work / name;
    if (!Install(checkPort, target))
        return {};
    return ListTree(target);
}

} // namespace

// Tests that a prepared package downloads byte for byte from its prepared messages, that a restart
// takes every file from the cache folder without compressing any, and that --check-config counts them.
TEST(PreparedProcessTest, PreparedDownloadIsExactAndARestartReusesTheCache) {
    TempFolder package, work;
    WritePreparedPackage(package.path());
    const fs::path log = work.path() / "events.log";
    auto config = [&] {
        return RunPublisherToExit({"--package", package.path().string(), "--download", "127.0.0.1:0",
                                   "--cache-dir", (work.path() / "cache").string(), "--check-config"});
    };
    EXPECT_NE(config().out.find("0 of 6 files prepared"), std::string::npos);
    {
        PublisherProcess p(ServeArgs(package.path(), work.path()));
        ASSERT_TRUE(p.started());
        ASSERT_TRUE(WaitForLog(log, "6 of 6 files prepared (0 from the cache folder, 6 compressed"))
            << ReadText(log);
        EXPECT_EQ(Installed(p.checkPort(), work.path(), "first"), ExpectedTree(package.path()));
        EXPECT_EQ(p.Stop(), 0);
    }
    EXPECT_EQ(Count(ReadText(log), "of them prepared)"), 1u) << ReadText(log);
    const RunResult checked = config();
    // The test package brings no terminal for installers, so the check refuses it after counting.
    EXPECT_EQ(checked.status, 65) << checked.out;
    EXPECT_NE(checked.out.find("6 of 6 files prepared"), std::string::npos) << checked.out;

    PublisherProcess again(ServeArgs(package.path(), work.path()));
    ASSERT_TRUE(again.started());
    ASSERT_TRUE(WaitForLog(log, "6 of 6 files prepared (6 from the cache folder, 0 compressed"))
        << ReadText(log);
    EXPECT_EQ(Installed(again.checkPort(), work.path(), "second"), ExpectedTree(package.path()));
    EXPECT_EQ(again.Stop(), 0);
    EXPECT_EQ(Count(ReadText(log), "of them prepared)"), 2u);
}

// Tests the memory cap of prepared messages: with --prepared-mib 0 every prepared file is left in its
// cache file and read from it when sent, byte for byte; a cache file changed behind the service's back
// is not trusted, and its package file is read instead.
TEST(PreparedProcessTest, PreparedMessagesBeyondTheCapAreReadFromTheirCacheFiles) {
    TempFolder package, work;
    WritePreparedPackage(package.path());
    auto args = ServeArgs(package.path(), work.path());
    args.insert(args.end(), {"--prepared-mib", "0"});
    PublisherProcess p(args);
    ASSERT_TRUE(p.started());
    const fs::path log = work.path() / "events.log";
    ASSERT_TRUE(WaitForLog(log, "6 of 6 files prepared")) << ReadText(log);
    EXPECT_NE(ReadText(log).find("0 kept in memory with 0 bytes, 6 read from the cache folder when sent"),
              std::string::npos)
        << ReadText(log);
    EXPECT_EQ(Installed(p.checkPort(), work.path(), "first"), ExpectedTree(package.path()));
    EXPECT_EQ(Count(ReadText(log), "of them prepared)"), 1u) << ReadText(log);
    // Every cache file rewritten in place with the same bytes: their stamps no longer match.
    for (const auto& e : fs::directory_iterator(work.path() / "cache")) {
        const auto bytes = ReadFile(e.path());
        WriteFile(e.path().parent_path(), e.path().filename().string(), bytes);
    }
    EXPECT_EQ(Installed(p.checkPort(), work.path(), "second"), ExpectedTree(package.path()));
    EXPECT_EQ(Count(ReadText(log), "of them prepared)"), 1u) << ReadText(log);
    EXPECT_EQ(p.Stop(), 0);
}

// Tests that a file rewritten after it was prepared is not sent at all until a reload loads it (the
// download ends with error 30 instead of installing it half old, half new), and that after the reload
// it goes out as it is now, byte for byte, while its unchanged neighbours still come prepared.
TEST(PreparedProcessTest, FileChangedAfterPreparationIsServedOnlyAfterAReload) {
    ServedPackage served(WritePreparedPackage, kNoProbe);
    ASSERT_TRUE(served.process->started());
    const fs::path log = served.work.path() / "events.log";
    ASSERT_TRUE(WaitForLog(log, "6 of 6 files prepared")) << served.Log();
    WriteFile(served.package.path(), "modules/client/notes.txt", Compressible(300000, 2));
    WriteFile(served.package.path(), "modules/client/exact.bin", Pattern(1001, 77));
    EXPECT_TRUE(Installed(served.process->checkPort(), served.work.path(), "before").empty());
    EXPECT_TRUE(WaitForLog(log, "changed since the package was loaded")) << served.Log();
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForLog(log, "shared with the package loaded before")) << served.Log();
    const auto tree = Installed(served.process->checkPort(), served.work.path(), "after");
    EXPECT_EQ(tree, ExpectedTree(served.package.path()));
    ASSERT_FALSE(tree.empty());
    EXPECT_EQ(ReadFile(served.work.path() / "after/notes.txt"), Compressible(300000, 2));
    EXPECT_EQ(Count(served.Log(), "of them prepared)"), 1u) << served.Log();
}

// Tests that SIGHUP prepares the new package: the unchanged files are shared with the package loaded
// before (nothing read or compressed again), the new one is compressed, and a download is exact.
TEST(PreparedProcessTest, ReloadPreparesTheNewPackage) {
    ServedPackage served(WritePreparedPackage, kNoProbe);
    ASSERT_TRUE(served.process->started());
    const fs::path log = served.work.path() / "events.log";
    ASSERT_TRUE(WaitForLog(log, "6 of 6 files prepared")) << served.Log();
    WriteFile(served.package.path(), "modules/server/added.txt", Compressible(50000, 3));
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForLog(log, "7 of 7 files prepared (0 from the cache folder, 1 compressed"))
        << served.Log();
    ASSERT_TRUE(WaitForLog(log, "6 shared with the package loaded before")) << served.Log();
    EXPECT_EQ(Installed(served.process->checkPort(), served.work.path(), "reloaded"),
              ExpectedTree(served.package.path()));
}

// Tests that the switches that change what a download sends still do once the package is prepared:
// the hostile chunk leads the download, which otherwise arrives exactly from prepared messages.
TEST(PreparedProcessTest, TestSwitchesStillApplyOncePrepared) {
    ServedPackage served(WritePreparedPackage, {"--test-hostile-reldir", kNoProbe[0], kNoProbe[1]});
    ASSERT_TRUE(served.process->started());
    ASSERT_TRUE(WaitForLog(served.work.path() / "events.log", "6 of 6 files prepared")) << served.Log();
    auto modules = ListModules(served.process->checkPort());
    ASSERT_EQ(modules.size(), 3u);
    TestClient download;
    ASSERT_TRUE(download.Connect(served.process->downloadPorts()[0]) && download.Authenticate() == 0u);
    auto result = download.Download(modules, served.work.path() / "hostile");
    EXPECT_EQ(result.climbingChunks, 1u);
    EXPECT_EQ(result.completed.size(), 3u);
    EXPECT_EQ(ListTree(served.work.path() / "hostile"), ExpectedTree(served.package.path()));
    EXPECT_EQ(Count(served.Log(), "of them prepared)"), 0u) << served.Log();
}

// Tests that a cache folder that cannot be made is logged and costs the preparation only: every file
// is still served exactly.
TEST(PreparedProcessTest, UnusableCacheFolderStillServesEveryFile) {
    TempFolder scratch;
    WriteFile(scratch.path(), "plain", {1});
    ServedPackage served(WritePreparedPackage, {"--cache-dir", (scratch.path() / "plain" / "cache").string(),
                                                kNoProbe[0], kNoProbe[1]});
    ASSERT_TRUE(served.process->started());
    ASSERT_TRUE(WaitForLog(served.work.path() / "events.log", "cannot use the cache folder")) << served.Log();
    EXPECT_EQ(Installed(served.process->checkPort(), served.work.path(), "plain"),
              ExpectedTree(served.package.path()));
    EXPECT_EQ(Count(served.Log(), "of them prepared)"), 0u);
}

// Tests that a cache folder that is the package folder or lies inside it is refused as a usage error,
// for a start and for --check-config alike, and nothing is written into the package.
TEST(PreparedProcessTest, CacheFolderInsideThePackageIsRefused) {
    TempFolder package;
    WritePreparedPackage(package.path());
    const auto before = ListTree(package.path());
    for (const fs::path& dir :
         {package.path(), package.path() / "modules/cache", package.path() / "x/../y"}) {
        for (bool check : {false, true}) {
            std::vector<std::string> args{"--package", package.path().string(), "--cache-dir", dir.string(),
                                          "--check",   "127.0.0.1:0",           "--download",  "127.0.0.1:0"};
            if (check)
                args.push_back("--check-config");
            const RunResult r = RunPublisherToExit(args);
            EXPECT_EQ(r.status, 64) << dir;
            EXPECT_NE(r.out.find("lies inside the package folder"), std::string::npos) << r.out;
        }
    }
    EXPECT_EQ(ListTree(package.path()), before);
}
