// Tests of the server itself, in this process: many installers at once on several serving threads,
// with a reload in between, so that ThreadSanitizer sees everything the connections share.
#include "publisher/ops/event_log.h"
#include "publisher/command_line/options.h"
#include "publisher/package/load_package.h"
#include "publisher/serving/server.h"
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

using namespace publisher;
using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<const Package> Load(const fs::path& folder) {
    auto load = LoadPackage(folder.string());
    return load.ok() ? std::make_shared<const Package>(std::move(*load)) : nullptr;
}

uint16_t PortOf(const std::string& line) {
    return uint16_t(std::stoi(line.substr(line.rfind(':') + 1)));
}

// Runs `count` installs at once into folders below `root`; returns how many completed with exactly
// the package's files.
size_t InstallAtOnce(uint16_t checkPort, const fs::path& package, const fs::path& root, size_t count) {
    std::atomic<size_t> good{0};
    std::vector<std::thread> installers;
    const auto expected = ExpectedDownload(package);
    for (size_t i = 0; i < count; ++i)
        installers.emplace_back([&, i] {
            const fs::path folder = root / std::to_string(i);
            if (Install(checkPort, folder) && ListTree(folder) == expected)
                ++good;
            fs::remove_all(folder);
        });
    for (auto& t : installers)
        t.join();
    return good;
}

} // namespace

// Tests that 4 serving threads carry waves of simultaneous installs, each receiving the package
// exactly, the second wave sending messages kept by the first from the shared cache, a third after a
// reload while a check connection of the old package stays open, with download-server probes running
// on the accepting thread meanwhile; and that Close joins every serving thread with connections open.
TEST(ServingTest, ManyInstallsAtOnceOnSeveralThreads) {
    TempFolder package;
    TempFolder work;
    WriteStandardPackage(package.path());
    // Small enough for many installs under the sanitizers, still several messages.
    WriteFile(package.path(), "modules/server/deps/depend.zip", Pattern(300 * 1000 + 17, 1));
    // A file that compresses, so that its messages are kept, written long enough ago to be kept.
    std::vector<uint8_t> text;
    const auto piece = Pattern(4096, 9);
    for (int i = 0; i < 64; ++i)
        text.insert(text.end(), piece.begin(), piece.end());
    WriteFile(package.path(), "modules/client/text.bin", text);
    std::this_thread::sleep_for(MessageCache::kSettle + std::chrono::milliseconds(200));

    Options options;
    options.packageDir = package.path().string();
    options.check = Endpoint{"127.0.0.1", 0};
    options.downloads = {{"127.0.0.1", 0}, {"127.0.0.1", 0}};
    options.threads = 4;
    options.probeSeconds = 1;
    EventLog log;
    ASSERT_TRUE(log.OpenFile((work.path() / "events.log").string()));
    asio::io_context io(1);
    auto first = Load(package.path());
    ASSERT_TRUE(first);
    Server server(io, first, options, log);
    const Status listening = server.Listen();
    ASSERT_TRUE(listening) << listening.error().message();
    EXPECT_EQ(server.ServingThreads(), 4u);
    const auto lines = server.Describe();
    ASSERT_EQ(lines.size(), 3u);
    const uint16_t checkPort = PortOf(lines[0]);
    std::thread accepting([&] { io.run(); });

    EXPECT_EQ(InstallAtOnce(checkPort, package.path(), work.path() / "first", 12), 12u);
    EXPECT_EQ(InstallAtOnce(checkPort, package.path(), work.path() / "second", 12), 12u);
    // Open connections keep their settings while new ones get the reloaded package.
    TestClient holder;
    ASSERT_TRUE(CheckThrough(holder, checkPort, true));
    auto second = Load(package.path());
    ASSERT_TRUE(second);
    asio::post(io, [&] { server.Replace(second); });
    EXPECT_EQ(InstallAtOnce(checkPort, package.path(), work.path() / "third", 8), 8u);
    EXPECT_TRUE(holder.Alive());

    asio::post(io, [&] {
        server.Close();
        io.stop();
    });
    accepting.join();
    EXPECT_EQ(server.Current(), second);
    ASSERT_TRUE(log.Flush());
    const std::string text_ = [&] {
        std::ifstream in(work.path() / "events.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_NE(text_.find("kept from earlier downloads"), std::string::npos);
    EXPECT_EQ(text_.find("failed two probes"), std::string::npos);
}
