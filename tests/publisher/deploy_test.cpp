// Tests of the running publisher while its package folder is deployed over: links swapped in after
// loading, files replaced during downloads, and the deploy recipe of the README (a folder per version,
// a link switched to it, SIGHUP).
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/slow_download.h"
#include "tests/publisher/temp_package.h"
#include "tests/publisher/test_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <thread>

using namespace publisher::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Replaces root/relative the way a copy tool does: the new bytes written beside it, renamed over it.
void ReplaceFile(const fs::path& root, const std::string& relative, const std::vector<uint8_t>& bytes) {
    WriteFile(root, relative + ".new", bytes);
    fs::rename(root / (relative + ".new"), root / relative);
}

// Whether any file below `folder` holds `marker`.
bool AnyFileHolds(const fs::path& folder, const std::string& marker) {
    if (!fs::exists(folder))
        return false;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file() && FileText(e.path()).find(marker) != std::string::npos)
            return true;
    return false;
}

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

} // namespace

// Tests that a module folder, or a subfolder of one, swapped for a link after loading serves nothing of
// the link's target: the download ends with error 30 and not one byte from outside the package.
TEST(DeployTest, ServesNothingThroughALinkSwappedInAfterLoading) {
    ServedPackage served;
    ASSERT_TRUE(served.process->started());
    auto modules = ListModules(served.process->checkPort());
    const fs::path pkg = served.package.path();
    const fs::path outside = served.work.path() / "outside";
    const std::string secret = "SECRET bytes from outside the package";
    for (const char* name : {"deps/depend.zip", "deps/a/b/c/deep.bin", "exact.bin", "one.bin"})
        WriteFile(outside, name, Bytes(secret));
    // The subfolder of one module, and the folder of the other.
    fs::rename(pkg / "modules/server/deps", served.work.path() / "deps-old");
    fs::create_directory_symlink(outside / "deps", pkg / "modules/server/deps");
    fs::rename(pkg / "modules/client", served.work.path() / "client-old");
    fs::create_directory_symlink(outside, pkg / "modules/client");

    for (const char* module : {"server", "client"}) {
        SCOPED_TRACE(module);
        TestClient c;
        ASSERT_TRUE(c.Connect(served.process->downloadPorts()[0]) && c.Authenticate() == 0u);
        const fs::path into = served.work.path() / "dl" / module;
        auto got = c.Download({Named(modules, module)}, into);
        EXPECT_TRUE(got.closed);
        EXPECT_EQ(got.lastErrorCode, 30u);
        EXPECT_TRUE(got.completed.empty());
        EXPECT_FALSE(AnyFileHolds(into, secret));
    }
    EXPECT_TRUE(WaitForLine(served.work.path() / "events.log", "cannot be read"));
    EXPECT_EQ(served.process->Stop(), 0);
}

// Tests that files replaced in place during downloads, with a reload after, end those downloads with
// error 30 instead of completing them with old and new files mixed; the next download gets the new files.
TEST(DeployTest, EndsADownloadWhoseFilesWereReplacedUnderIt) {
    ServedPackage served([](const fs::path& root) { WriteLargePackage(root, 8u << 20); });
    ASSERT_TRUE(served.process->started());
    auto modules = ListModules(served.process->checkPort());
    const fs::path pkg = served.package.path();
    std::vector<std::unique_ptr<SlowDownload>> slow;
    for (int i = 0; i < 3; ++i)
        slow.push_back(
            std::make_unique<SlowDownload>(served.process->downloadPorts()[0],
                                           std::vector{Named(modules, "server"), Named(modules, "client")},
                                           served.work.path() / ("old" + std::to_string(i)), 20ms));
    for (auto& d : slow)
        ASSERT_TRUE(d->WaitForMessages(3));
    // The new version of the client module, copied over the served folder, then the reload.
    ReplaceFile(pkg, "modules/client/exact.bin", Bytes("NEW-VERSION exact"));
    ReplaceFile(pkg, "modules/client/one.bin", Bytes("NEW-VERSION one"));
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForLine(served.work.path() / "events.log", "SIGHUP: reloaded"));
    for (size_t i = 0; i < slow.size(); ++i) {
        SCOPED_TRACE(i);
        auto got = slow[i]->Finish();
        EXPECT_TRUE(got.closed);
        EXPECT_EQ(got.lastErrorCode, 30u);
        EXPECT_FALSE(got.completed.contains("client"));
        EXPECT_FALSE(AnyFileHolds(served.work.path() / ("old" + std::to_string(i)), "NEW-VERSION"));
    }
    EXPECT_TRUE(WaitForLine(served.work.path() / "events.log", "changed since the package was loaded"));
    TestClient c;
    ASSERT_TRUE(c.Connect(served.process->downloadPorts()[0]) && c.Authenticate() == 0u);
    auto fresh = c.Download({Named(modules, "client")}, served.work.path() / "new");
    EXPECT_EQ(fresh.completed.size(), 1u);
    EXPECT_EQ(FileText(served.work.path() / "new/exact.bin"), "NEW-VERSION exact");
    EXPECT_EQ(served.process->Stop(), 0);
}

// Tests the README's deploy recipe: each version in a folder of its own and a link switched to the new
// one, then SIGHUP. Downloads under way finish whole from the old version, byte for byte, and new
// connections get the new version whole.
TEST(DeployTest, TheLinkSwitchRecipeNeverMixesVersions) {
    TempFolder work;
    const fs::path v1 = work.path() / "pkg-v1", v2 = work.path() / "pkg-v2",
                   current = work.path() / "current";
    WriteLargePackage(v1, 8u << 20);
    fs::create_directory_symlink(v1, current);
    const fs::path log = work.path() / "events.log";
    PublisherProcess p({"--package", current.string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0",
                        "--log", log.string()});
    ASSERT_TRUE(p.started());
    auto modules = ListModules(p.checkPort());
    auto expected = ListTree(v1 / "modules/server");
    for (auto& f : ListTree(v1 / "modules/client"))
        expected.push_back(std::move(f));
    std::sort(expected.begin(), expected.end());
    SlowDownload old(p.downloadPorts()[0], {Named(modules, "server"), Named(modules, "client")},
                     work.path() / "old", 10ms);
    ASSERT_TRUE(old.WaitForMessages(3));

    fs::copy(v1, v2, fs::copy_options::recursive);
    ReplaceFile(v2, "modules/client/exact.bin", Bytes("NEW-VERSION exact"));
    ReplaceFile(v2, "modules/server/deps/depend.zip", Bytes("NEW-VERSION depend"));
    fs::create_directory_symlink(v2, work.path() / "current.new");
    fs::rename(work.path() / "current.new", current);
    ASSERT_EQ(kill(p.pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForLine(log, "SIGHUP: reloaded"));

    auto got = old.Finish();
    EXPECT_FALSE(got.closed);
    EXPECT_EQ(got.completed.size(), 2u);
    EXPECT_EQ(ListTree(work.path() / "old"), expected);

    TestClient c;
    ASSERT_TRUE(c.Connect(p.downloadPorts()[0]) && c.Authenticate() == 0u);
    auto fresh = c.Download({Named(modules, "server"), Named(modules, "client")}, work.path() / "new");
    EXPECT_EQ(fresh.completed.size(), 2u);
    EXPECT_EQ(FileText(work.path() / "new/exact.bin"), "NEW-VERSION exact");
    EXPECT_EQ(FileText(work.path() / "new/deps/depend.zip"), "NEW-VERSION depend");
    EXPECT_EQ(p.Stop(), 0);
}

// Tests that a download connection left from before a reload ends after the idle limit when it makes no
// download progress, its heartbeats notwithstanding, while before the reload the same heartbeats keep it.
TEST(DeployTest, ClosesOldDownloadConnectionsThatOnlySendHeartbeats) {
    // An idle limit of one minute passing 60 times faster: one second.
    ServedPackage served({"--idle-minutes", "1", "--test-time-scale", "60"});
    ASSERT_TRUE(served.process->started());
    TestClient c;
    ASSERT_TRUE(c.Connect(served.process->downloadPorts()[0]) && c.Authenticate() == 0u);
    for (int i = 0; i < 10; ++i) { // 2.5 s: well past the limit
        ASSERT_TRUE(c.Alive()) << "closed before the reload, after " << i << " heartbeats";
        std::this_thread::sleep_for(250ms);
    }
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForLine(served.work.path() / "events.log", "SIGHUP: reloaded"));
    bool alive = true;
    for (int i = 0; i < 20 && alive; ++i) { // 5 s
        alive = c.Alive();
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_FALSE(alive);
    EXPECT_TRUE(WaitForLine(served.work.path() / "events.log", "no download progress for"));
    // A connection of the new package is held by its heartbeats as before.
    TestClient fresh;
    ASSERT_TRUE(fresh.Connect(served.process->downloadPorts()[0]) && fresh.Authenticate() == 0u);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(fresh.Alive()) << i;
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(served.process->Stop(), 0);
}
