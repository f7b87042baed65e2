// Tests of the state that the serving threads share besides the server's own: the cache of kept
// messages and the event log.
#include "publisher/ops/event_log.h"
#include "publisher/prepared/message_cache.h"
#include "publisher/package/package_folder.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <thread>

using namespace publisher;
using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

CachedFile Entry(const FileStamp& stamp, size_t messages) {
    CachedFile e;
    e.stamp = stamp;
    for (size_t i = 0; i < messages; ++i)
        e.messages.push_back(std::vector<uint8_t>(100, uint8_t(i)));
    e.bytes = 100 * messages;
    e.fileBytes = 1000 * messages;
    return e;
}

} // namespace

// Tests that threads reserving, storing, finding and releasing entries of shared files at once keep
// the cache's books: every found entry is whole, and once everything is released nothing is reserved
// and what is used is exactly the entries held, within the capacity.
TEST(SharedStateTest, MessageCacheKeepsItsBooksUnderSeveralThreads) {
    TempFolder tmp;
    std::vector<PackageFile> files(8);
    std::vector<FileStamp> stamps;
    auto opened = PackageFolder::Open(tmp.path());
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    const auto folder = *opened;
    for (size_t i = 0; i < files.size(); ++i) {
        WriteFile(tmp.path(), "f" + std::to_string(i), Pattern(10, uint32_t(i)));
        files[i].folder = folder;
        files[i].relative = "f" + std::to_string(i);
        stamps.push_back(*StampOf(files[i]));
        files[i].stamp = stamps.back();
        files[i].shareKey = files[i].relative;
    }
    constexpr uint64_t kCapacity = 4000;
    MessageCache cache(kCapacity, std::chrono::nanoseconds(0));
    std::atomic<size_t> broken{0};
    std::atomic<size_t> found{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const size_t f = size_t(t + i) % files.size();
                const size_t n = 1 + size_t(i) % 5;
                if (cache.Reserve(RecordingRoom(n * 1000)))
                    cache.Store(&files[f], Entry(stamps[f], n), RecordingRoom(n * 1000));
                if (auto e = cache.Find(&files[f]); e) {
                    ++found;
                    if (e->bytes != 100 * e->messages.size() || e->messages.empty())
                        ++broken;
                }
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(broken, 0u);
    EXPECT_GT(found, 0u);
    EXPECT_EQ(cache.Reserved(), 0u);
    uint64_t held = 0;
    for (const auto& f : files)
        if (auto e = cache.Find(&f))
            held += e->bytes;
    EXPECT_EQ(cache.Used(), held);
    EXPECT_LE(held, kCapacity);
    EXPECT_EQ(cache.Entries() > 0, held > 0);
}

// Tests that lines written from several threads while the log is reopened again and again (as
// logrotate does) come out whole, one per line, none lost or doubled across the files.
TEST(SharedStateTest, EventLogLinesStayWholeAcrossThreadsAndReopens) {
    TempFolder tmp;
    const fs::path path = tmp.path() / "events.log";
    EventLog log;
    ASSERT_TRUE(log.OpenFile(path.string()));
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                log.Write("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                          std::string(size_t(i % 200), 'x') + " end");
        });
    int rotations = 0;
    for (; rotations < 20; ++rotations) {
        fs::rename(path, tmp.path() / ("events.log." + std::to_string(rotations)));
        ASSERT_TRUE(log.Reopen());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& w : writers)
        w.join();
    ASSERT_TRUE(log.Flush());

    const std::regex whole(R"(\S+Z thread (\d) line (\d+) x* end)");
    std::set<std::string> seen;
    size_t lines = 0;
    for (const auto& e : fs::directory_iterator(tmp.path())) {
        std::ifstream in(e.path());
        for (std::string line; std::getline(in, line); ++lines) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
            EXPECT_TRUE(seen.insert(m[1].str() + "/" + m[2].str()).second) << line;
        }
    }
    EXPECT_EQ(lines, size_t(kThreads * kLines));
    EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
}
