// Tests of one check service in front of several download services, each a publisher process of its
// own on 127.0.0.1, as they are deployed on several machines.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <set>
#include <thread>

using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits until `what` stands in the log at `path` `count` times, for at most `limit`.
bool WaitForLog(const fs::path& path, const std::string& what, size_t count, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Count(ReadAll(path), what) < count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::unique_ptr<PublisherProcess> DownloadService(const fs::path& package, const fs::path& log,
                                                  uint16_t port = 0) {
    return std::make_unique<PublisherProcess>(std::vector<std::string>{
        "--package", package.string(), "--no-check", "--download", "127.0.0.1:" + std::to_string(port),
        "--threads", "2", "--log", log.string()});
}

} // namespace

// Tests three download services behind one check service probing every second: installs run while
// one service is killed; once the probes have found it gone, the next 20 installs all complete and
// none is handed the dead one, the two others sharing them; a service started again on the dead one's
// port is handed out again once it answers.
TEST(DownloadServersTest, AKilledDownloadServiceIsNoLongerHandedOut) {
    TempFolder package;
    TempFolder work;
    WriteStandardPackage(package.path());
    WriteFile(package.path(), "modules/server/deps/depend.zip", Pattern(300 * 1000 + 17, 1));
    std::vector<std::unique_ptr<PublisherProcess>> downloads;
    std::vector<uint16_t> ports;
    for (int i = 0; i < 3; ++i) {
        downloads.push_back(DownloadService(package.path(), work.path() / ("download" + std::to_string(i))));
        ASSERT_TRUE(downloads.back()->started());
        ASSERT_EQ(downloads.back()->downloadPorts().size(), 1u);
        ports.push_back(downloads.back()->downloadPorts()[0]);
    }
    const fs::path checkLog = work.path() / "check.log";
    std::vector<std::string> args{"--package",   package.path().string(), "--check",
                                  "127.0.0.1:0", "--probe-seconds",       "1",
                                  "--log",       checkLog.string()};
    for (uint16_t p : ports)
        args.insert(args.end(), {"--advertise", "127.0.0.1:" + std::to_string(p)});
    PublisherProcess check(args);
    ASSERT_TRUE(check.started());
    const uint16_t checkPort = check.checkPort();

    // Installs in the background all along; the ones handed the dead server before the probes noticed
    // may fail, as an installer would against a machine that just went away.
    std::atomic<bool> stop{false};
    std::atomic<size_t> background{0};
    std::thread installer([&] {
        for (int i = 0; !stop; ++i)
            if (Install(checkPort, work.path() / "background" / std::to_string(i)))
                ++background;
    });
    ASSERT_TRUE(WaitForLog(checkLog, "update check", 3, std::chrono::seconds(20)));
    const uint16_t dead = ports[1];
    const pid_t deadPid = downloads[1]->pid();
    ASSERT_EQ(kill(deadPid, SIGKILL), 0);
    EXPECT_EQ(downloads[1]->Stop(), -1); // reaps it: it did not exit by itself
    // Two failed probes a second apart, each bounded by its timeout.
    ASSERT_TRUE(WaitForLog(checkLog,
                           "download server 127.0.0.1:" + std::to_string(dead) + " failed two probes", 1,
                           std::chrono::seconds(15)));
    stop = true;
    installer.join();
    EXPECT_GT(background, 0u);

    std::multiset<uint16_t> handed;
    size_t completed = 0;
    for (int i = 0; i < 20; ++i) {
        uint16_t port = 0;
        if (Install(checkPort, work.path() / "after" / std::to_string(i), &port))
            ++completed;
        handed.insert(port);
    }
    EXPECT_EQ(completed, 20u);
    EXPECT_EQ(handed.count(dead), 0u);
    EXPECT_EQ(handed.count(ports[0]), 10u);
    EXPECT_EQ(handed.count(ports[2]), 10u);
    EXPECT_EQ(ListTree(work.path() / "after" / "19"), ExpectedDownload(package.path()));

    // Back on the same port: the next probe finds it and it is handed out again.
    auto again = DownloadService(package.path(), work.path() / "download1-again", dead);
    ASSERT_TRUE(again->started());
    ASSERT_TRUE(WaitForLog(checkLog, "download server 127.0.0.1:" + std::to_string(dead) + " answers again",
                           1, std::chrono::seconds(15)));
    std::set<uint16_t> after;
    for (int i = 0; i < 3; ++i) {
        uint16_t port = 0;
        EXPECT_TRUE(Install(checkPort, work.path() / "back" / std::to_string(i), &port));
        after.insert(port);
    }
    EXPECT_EQ(after, (std::set<uint16_t>{ports[0], dead, ports[2]}));

    EXPECT_EQ(check.Stop(), 0);
    const std::string log = ReadAll(checkLog);
    EXPECT_EQ(Count(log, "failed two probes"), 1u);
    EXPECT_EQ(Count(log, "answers again: handed out again"), 1u) << log;
    EXPECT_EQ(Count(log, "no download server answers"), 0u);
    for (size_t i : {0u, 2u})
        EXPECT_EQ(downloads[i]->Stop(), 0);
}

// Tests that a download service which serves other module versions than the check service offers (a
// machine left on the old package) is taken out after its first probe and logged once, so that every
// installer is handed the service that has the offered versions; and that it comes back once it does.
TEST(DownloadServersTest, AServiceWithOtherModuleVersionsIsNoLongerHandedOut) {
    TempFolder package, stale, work;
    WriteStandardPackage(package.path());
    WriteStandardPackage(stale.path());
    std::string manifest = ReadAll(stale.path() / "package.json");
    const std::string offered = R"("name": "client", "versionA": 3, "versionB": 4)";
    ASSERT_NE(manifest.find(offered), std::string::npos);
    manifest.replace(manifest.find(offered), offered.size(),
                     R"("name": "client", "versionA": 3, "versionB": 3)");
    std::ofstream(stale.path() / "package.json") << manifest;

    auto good = DownloadService(package.path(), work.path() / "good.log");
    auto old = DownloadService(stale.path(), work.path() / "old.log");
    ASSERT_TRUE(good->started() && old->started());
    const uint16_t goodPort = good->downloadPorts()[0], oldPort = old->downloadPorts()[0];
    const fs::path checkLog = work.path() / "check.log";
    PublisherProcess check({"--package", package.path().string(), "--check", "127.0.0.1:0", "--probe-seconds",
                            "1", "--log", checkLog.string(), "--advertise",
                            "127.0.0.1:" + std::to_string(oldPort), "--advertise",
                            "127.0.0.1:" + std::to_string(goodPort)});
    ASSERT_TRUE(check.started());
    const std::string takenOut =
        "download server 127.0.0.1:" + std::to_string(oldPort) +
        " does not serve the modules on offer (answered error 21 for module client 3_4)";
    ASSERT_TRUE(WaitForLog(checkLog, takenOut, 1, std::chrono::seconds(10))) << ReadAll(checkLog);

    std::multiset<uint16_t> handed;
    size_t completed = 0;
    for (int i = 0; i < 6; ++i) {
        uint16_t port = 0;
        if (Install(check.checkPort(), work.path() / "i" / std::to_string(i), &port))
            ++completed;
        handed.insert(port);
    }
    EXPECT_EQ(completed, 6u);
    EXPECT_EQ(handed.count(goodPort), 6u);
    EXPECT_EQ(Count(ReadAll(checkLog), "does not serve the modules on offer"), 1u); // several probes later

    // The machine gets the offered package: the next probe hands it out again.
    old.reset();
    auto fixed = DownloadService(package.path(), work.path() / "fixed.log", oldPort);
    ASSERT_TRUE(fixed->started());
    EXPECT_TRUE(WaitForLog(checkLog,
                           "download server 127.0.0.1:" + std::to_string(oldPort) + " answers again", 1,
                           std::chrono::seconds(10)));
    EXPECT_EQ(check.Stop(), 0);
}
