// Tests of the running publisher as a deployer meets it: signals (SIGPIPE, SIGHUP, SIGUSR1), a file that
// changes while it is sent, the log under a reconnect flood, --check-config and start-up refusals.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/slow_download.h"
#include "tests/publisher/temp_package.h"
#include "tests/publisher/test_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

using namespace publisher::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Tests that a publisher logging to a standard error nobody reads any more keeps serving and stops
// cleanly: the broken pipe costs the lines, not the service.
TEST(LifecycleTest, SurvivesAClosedStandardError) {
    TempFolder package;
    WriteStandardPackage(package.path());
    PublisherProcess p(
        {"--package", package.path().string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0"}, true);
    ASSERT_TRUE(p.started());
    for (int i = 0; i < 3; ++i) {
        TestClient c;
        ASSERT_TRUE(c.Connect(p.checkPort()));
        EXPECT_EQ(c.Authenticate(), 0u);
        EXPECT_EQ(c.Login("tulip", "tulip"), 0u);
        EXPECT_TRUE(c.Alive());
    }
    EXPECT_EQ(p.Stop(), 0);
}

// Tests SIGHUP: the log file moves on (as after logrotate), a download in progress finishes byte for
// byte from the package it started with, the next connections get the new package, and a manifest that
// fails to load keeps the package served and says why.
TEST(LifecycleTest, ReloadsOnSighup) {
    ServedPackage served([](const fs::path& root) { WriteLargePackage(root, 8u << 20); });
    ASSERT_TRUE(served.process->started());
    const fs::path log = served.work.path() / "events.log";
    auto modules = ListModules(served.process->checkPort());
    ASSERT_EQ(modules.size(), 3u);
    const auto zip = ReadFile(served.package.path() / "modules/server/deps/depend.zip");

    SlowDownload old(served.process->downloadPorts()[0], {Named(modules, "server"), Named(modules, "client")},
                     served.work.path() / "old", 5ms);
    ASSERT_TRUE(old.WaitForMessages(10));

    // The new package: another version, one module more, the old files untouched.
    WriteFile(served.package.path(), "modules/extra/new.txt", {'n', 'e', 'w'});
    std::ofstream(served.package.path() / "package.json") << R"({
  "package": "000185", "version": {"part3": 12, "part4": 4},
  "users": [{"name": "tulip", "password": "tulip"}],
  "modules": [
    {"name": "server", "versionA": 1, "versionB": 2, "folder": "modules/server"},
    {"name": "client", "versionA": 3, "versionB": 4, "folder": "modules/client"},
    {"name": "extra", "versionA": 7, "versionB": 8, "folder": "modules/extra"}
  ]})";
    fs::rename(log, served.work.path() / "events.log.1");
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForText(log, "SIGHUP: reloaded, now serving package 000185 version 12.4: 3 modules"));
    EXPECT_FALSE(old.done());

    TestClient check;
    ASSERT_TRUE(check.Connect(served.process->checkPort()) && check.Authenticate() == 0u &&
                check.Login("tulip", "tulip") == 0u);
    auto offer = check.UpdateCheck("000185");
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->Offers.at(0).VerPart4, 4u);
    auto fresh = check.ModuleCheck("000185", 12, 4);
    ASSERT_TRUE(fresh);
    ASSERT_EQ(fresh->size(), 3u);
    EXPECT_EQ(fresh->at(2).Name(), "extra");
    TestClient download;
    ASSERT_TRUE(download.Connect(served.process->downloadPorts()[0]) && download.Authenticate() == 0u);
    auto got = download.Download({fresh->at(2)}, served.work.path() / "new");
    EXPECT_EQ(got.completed.size(), 1u);
    EXPECT_EQ(ReadFile(served.work.path() / "new/new.txt"), (std::vector<uint8_t>{'n', 'e', 'w'}));

    auto result = old.Finish();
    EXPECT_FALSE(result.closed);
    EXPECT_EQ(result.completed.size(), 2u);
    EXPECT_EQ(ReadFile(served.work.path() / "old/deps/depend.zip"), zip);
    EXPECT_EQ(ReadFile(served.work.path() / "old/exact.bin"), Pattern(1001, 3));
    EXPECT_NE(ReadText(served.work.path() / "events.log.1").find("download of 2 modules"), std::string::npos);

    // A broken manifest: the package stays, the log says why.
    std::ofstream(served.package.path() / "package.json") << R"({"package": "000185", "version": )";
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForText(log, "SIGHUP: reload refused, still serving package 000185 version 12.4"));
    EXPECT_NE(ReadText(log).find("package.json"), std::string::npos);
    TestClient after;
    ASSERT_TRUE(after.Connect(served.process->checkPort()) && after.Authenticate() == 0u &&
                after.Login("tulip", "tulip") == 0u);
    auto still = after.UpdateCheck("000185");
    ASSERT_TRUE(still);
    EXPECT_EQ(still->Offers.at(0).VerPart4, 4u);
    EXPECT_EQ(served.process->Stop(), 0);
}

// Tests SIGUSR1 as logrotate sends it: the log moves on to a new file, and the package on disk, changed
// meanwhile, is not reloaded: installers keep being offered what was loaded.
TEST(LifecycleTest, ReopensTheLogOnSigusr1WithoutReloading) {
    ServedPackage served;
    ASSERT_TRUE(served.process->started());
    const fs::path log = served.work.path() / "events.log";
    std::ofstream(served.package.path() / "package.json") << R"({"package": "000185", "version": )";
    fs::rename(log, served.work.path() / "events.log.1");
    ASSERT_EQ(kill(served.process->pid(), SIGUSR1), 0);
    ASSERT_TRUE(WaitForText(log, "SIGUSR1: log file reopened"));
    TestClient check;
    ASSERT_TRUE(check.Connect(served.process->checkPort()) && check.Authenticate() == 0u &&
                check.Login("tulip", "tulip") == 0u);
    EXPECT_TRUE(check.UpdateCheck("000185"));
    EXPECT_EQ(served.process->Stop(), 0);
    EXPECT_EQ(ReadText(log).find("reload"), std::string::npos);
}

// Tests that a file truncated while it is sent fails that download with error 30 and a closed
// connection, its module never ending, and that the log says which file.
TEST(LifecycleTest, FailsTheDownloadOfAFileTruncatedMidSend) {
    ServedPackage served([](const fs::path& root) { WriteLargePackage(root, 8u << 20); });
    ASSERT_TRUE(served.process->started());
    auto modules = ListModules(served.process->checkPort());
    ASSERT_FALSE(modules.empty());
    SlowDownload d(served.process->downloadPorts()[0], {Named(modules, "server")}, served.work.path() / "dl",
                   5ms);
    ASSERT_TRUE(d.WaitForMessages(5));
    fs::resize_file(served.package.path() / "modules/server/deps/depend.zip", 1u << 20);
    auto result = d.Finish();
    EXPECT_TRUE(result.closed);
    EXPECT_TRUE(result.completed.empty());
    EXPECT_EQ(result.lastErrorCode, 30u);
    EXPECT_TRUE(WaitForText(served.work.path() / "events.log", "depend.zip: changed while it was sent"));
}

// Tests that a reconnect flood (connect, authenticate, garbage, close, again) from many threads writes
// less than 1 MB of log per minute, the excess counted in "more suppressed" lines; prints the figure.
TEST(LifecycleTest, KeepsTheLogSmallUnderAReconnectFlood) {
    ServedPackage served;
    ASSERT_TRUE(served.process->started());
    const fs::path log = served.work.path() / "events.log";
    const auto before = fs::file_size(log);
    const auto started = std::chrono::steady_clock::now();
    const size_t rounds =
        ReconnectFlood(served.process->checkPort(), served.process->downloadPorts()[0], 4, 5000ms);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::this_thread::sleep_for(1500ms); // the last counts
    const double bytes = double(fs::file_size(log) - before);
    const double perMinute = bytes / seconds * 60;
    std::printf("[ figure ] log under a reconnect flood: %.0f bytes per minute (%zu connections in %.1f s)\n",
                perMinute, rounds, seconds);
    EXPECT_GT(rounds, 100u); // a flood, however slow the build
    EXPECT_LT(perMinute, 1e6);
    EXPECT_GT(Count(ReadText(log), "more suppressed"), 0u);
}

// Tests --check-config: it prints the modules, files and bytes and the package number installers need,
// and exits 0 without listening (its listener would collide with a running publisher); it exits 65 for a
// package that is refused, or that installers would install without a terminal to start.
TEST(LifecycleTest, ChecksTheConfigurationWithoutListening) {
    TempFolder package;
    WriteStandardPackage(package.path());
    RunResult noTerminal = RunPublisherToExit(
        {"--package", package.path().string(), "--download", "127.0.0.1:0", "--check-config"});
    EXPECT_EQ(noTerminal.status, 65);
    EXPECT_NE(noTerminal.out.find("package refused: no module brings TalvikTradeSafe.exe"), std::string::npos)
        << noTerminal.out;
    WriteFile(package.path(), "modules/client/TalvikTradeSafe.exe", Pattern(10, 5));
    PublisherProcess running({"--package", package.path().string(), "--check", "127.0.0.1:0", "--download",
                              "127.0.0.1:0", "--log", (package.path() / "../log").string()});
    ASSERT_TRUE(running.started());
    const std::string busy = "127.0.0.1:" + std::to_string(running.checkPort());
    RunResult ok = RunPublisherToExit({"--package", package.path().string(), "--check", busy, "--download",
                                       "127.0.0.1:0", "--check-config"});
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("module server 1_2 state U: 3 files, " +
                          std::to_string(3 * 1024 * 1024 + 17 + 1002) + " bytes"),
              std::string::npos)
        << ok.out;
    EXPECT_NE(ok.out.find("module docs 5_6 state D: 0 files, 0 bytes"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("package 000185 version 12.3: 3 modules, 6 files, "), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("installers must be built with package number 000185"), std::string::npos)
        << ok.out;

    std::ofstream(package.path() / "package.json")
        << R"({"package": "000185", "version": {"part3": 1, "part4": 2},
        "users": [{"name": "tulip", "password": "tulip"}],
        "modules": [{"name": "all", "versionA": 1, "versionB": 1, "folder": "."}]})";
    RunResult bad = RunPublisherToExit(
        {"--package", package.path().string(), "--download", "127.0.0.1:0", "--check-config"});
    EXPECT_EQ(bad.status, 65);
    EXPECT_NE(bad.out.find((package.path() / "package.json").string() + ": modules[0].folder: "),
              std::string::npos)
        << bad.out;
    EXPECT_EQ(running.Stop(), 0);
}

// Tests that a package with a module folder "." refuses the start, and that the refusal is printed
// once although the log goes to standard error.
TEST(LifecycleTest, RefusesToStartOnceWithTheReason) {
    TempFolder package;
    WriteStandardPackage(package.path());
    std::ofstream(package.path() / "package.json")
        << R"({"package": "000185", "version": {"part3": 1, "part4": 2},
        "users": [{"name": "tulip", "password": "secret"}],
        "modules": [{"name": "all", "versionA": 1, "versionB": 1, "folder": "."}]})";
    RunResult r = RunPublisherToExit(
        {"--package", package.path().string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0"});
    EXPECT_EQ(r.status, 65);
    EXPECT_EQ(Count(r.out, "refusing to start"), 1u) << r.out;
    EXPECT_NE(r.out.find("is the package folder itself"), std::string::npos) << r.out;
}
