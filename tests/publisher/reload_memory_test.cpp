// Soak tests of reloads: memory across reloads of a large package while old connections hold on, and
// downloads byte for byte while the package is reloaded under them. They print their figures.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/slow_download.h"
#include "tests/publisher/temp_package.h"
#include "tests/publisher/test_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

using namespace publisher::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Preparing a large package takes a while.
constexpr auto kPreparing = std::chrono::minutes(2);

struct Served {
    TempFolder package;
    TempFolder work;
    std::unique_ptr<PublisherProcess> process;
    fs::path log() const { return work.path() / "events.log"; }

    explicit Served(size_t bigBytes, const std::vector<std::string>& extra = {}) {
        WriteLargePackage(package.path(), bigBytes);
        std::vector<std::string> args{"--package",   package.path().string(),
                                      "--check",     "127.0.0.1:0",
                                      "--download",  "127.0.0.1:0",
                                      "--log",       log().string(),
                                      "--cache-dir", (work.path() / "cache").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        process = std::make_unique<PublisherProcess>(args);
    }
    // Whether the service started and prepared the package.
    bool Ready() const { return process->started() && WaitForLine(log(), "files prepared (", 1, kPreparing); }
    // Sends SIGHUP and waits for the reloaded package's preparation to end: the `n`th one in all.
    bool Reload(size_t n) {
        return kill(process->pid(), SIGHUP) == 0 &&
               WaitForLine(log(), "SIGHUP: reloaded", n - 1, kPreparing) &&
               WaitForLine(log(), "files prepared (", n, kPreparing);
    }
};

} // namespace

// Tests that four reloads of an unchanged 24 MB package, each with a download connection opened before
// it and held, cost no second copy of the package's messages: the resident size after them stays
// within one package's size of the size before, and the log says the files were shared.
TEST(ReloadSoakTest, ReloadsOfAnUnchangedPackageCostMemoryOnce) {
    constexpr size_t kBig = 24u << 20;
    Served served(kBig);
    ASSERT_TRUE(served.Ready()) << FileText(served.log());
    const long before = ResidentKiB(served.process->pid());
    std::vector<std::unique_ptr<TestClient>> holders;
    std::vector<long> figures;
    for (size_t i = 0; i < 4; ++i) {
        auto& c = *holders.emplace_back(std::make_unique<TestClient>());
        ASSERT_TRUE(c.Connect(served.process->downloadPorts()[0]) && c.Authenticate() == 0u);
        ASSERT_TRUE(served.Reload(i + 2)) << FileText(served.log());
        figures.push_back(ResidentKiB(served.process->pid()));
    }
    holders.clear();
    std::this_thread::sleep_for(200ms);
    const long left = ResidentKiB(served.process->pid());
    std::printf("resident before the reloads %ld KiB; after each reload with a held connection", before);
    for (long f : figures)
        std::printf(" %ld", f);
    std::printf(" KiB; after the holders left %ld KiB\n", left);
    EXPECT_LT(figures.back() - before, long(kBig / 1024));
    EXPECT_GE(Count(FileText(served.log()), "shared with the package loaded before"), 4u);
    EXPECT_EQ(served.process->Stop(), 0);
}

// Tests 50 downloads of the package, byte for byte, from four threads while it is reloaded five times
// unchanged, and that the resident size after them stays within one package's size of the size before.
TEST(ReloadSoakTest, FiftyDownloadsStayExactDuringFiveReloads) {
    constexpr size_t kBig = 8u << 20;
    Served served(kBig);
    ASSERT_TRUE(served.Ready()) << FileText(served.log());
    const auto modules = ListModules(served.process->checkPort());
    auto expected = ListTree(served.package.path() / "modules/server");
    for (auto& f : ListTree(served.package.path() / "modules/client"))
        expected.push_back(std::move(f));
    std::sort(expected.begin(), expected.end());
    const long before = ResidentKiB(served.process->pid());

    std::atomic<int> next{0}, exact{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i; (i = next++) < 50;) {
                const fs::path into = served.work.path() / ("dl" + std::to_string(i));
                TestClient c;
                bool ok = c.Connect(served.process->downloadPorts()[0]) && c.Authenticate() == 0u;
                if (ok) {
                    auto got = c.Download({Named(modules, "server"), Named(modules, "client")}, into);
                    ok = !got.closed && got.completed.size() == 2 && ListTree(into) == expected;
                }
                ++(ok ? exact : failed);
                fs::remove_all(into);
            }
        });
    for (size_t r = 0; r < 5; ++r) {
        EXPECT_TRUE(served.Reload(r + 2)) << FileText(served.log());
        std::this_thread::sleep_for(100ms);
    }
    for (auto& t : threads)
        t.join();
    const long after = ResidentKiB(served.process->pid());
    std::printf(
        "50 downloads during 5 reloads: %d exact, %d failed; resident %ld KiB before, %ld KiB after\n",
        exact.load(), failed.load(), before, after);
    EXPECT_EQ(exact, 50);
    EXPECT_LT(after - before, long(kBig / 1024));
    EXPECT_EQ(served.process->Stop(), 0);
}

// Tests that --prepared-mib bounds the memory of prepared messages: a 24 MB package prepared under a cap
// of 0 leaves the service's resident size at least 16 MB below the same package held in memory, and a
// download from the cache files is exact. Prints both figures.
TEST(ReloadSoakTest, PreparedMemoryCapKeepsTheMessagesOnDisk) {
    constexpr size_t kBig = 24u << 20;
    long resident[2] = {0, 0};
    for (int capped = 0; capped < 2; ++capped) {
        Served served(kBig,
                      capped ? std::vector<std::string>{"--prepared-mib", "0"} : std::vector<std::string>{});
        ASSERT_TRUE(served.Ready()) << FileText(served.log());
        const auto modules = ListModules(served.process->checkPort());
        TestClient c;
        ASSERT_TRUE(c.Connect(served.process->downloadPorts()[0]) && c.Authenticate() == 0u);
        auto got = c.Download({Named(modules, "server")}, served.work.path() / "dl");
        EXPECT_EQ(got.completed.size(), 1u);
        EXPECT_EQ(ReadFile(served.work.path() / "dl/deps/depend.zip"), Pattern(kBig, 7));
        resident[capped] = ResidentKiB(served.process->pid());
        EXPECT_EQ(served.process->Stop(), 0);
    }
    std::printf("resident after preparing and sending a 24 MB package: %ld KiB held in memory, %ld KiB with "
                "--prepared-mib 0\n",
                resident[0], resident[1]);
    EXPECT_LT(resident[1] + 16 * 1024, resident[0]);
}
