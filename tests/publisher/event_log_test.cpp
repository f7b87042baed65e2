// Tests of the event log's rate limit and its reopening for log rotation.
#include "publisher/ops/event_log.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <atomic>

#include <fcntl.h>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace publisher;
using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line.substr(line.find(' ') + 1)); // without the time
    return out;
}

} // namespace

// Tests that each kind gets its own budget per second, that what is over it is reported as one
// "N more suppressed" line once the second is over, and that a new second writes again.
TEST(EventLogTest, LimitsEachKindPerSecond) {
    TempFolder tmp;
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    EventLog log;
    log.SetClock([&] { return now; });
    ASSERT_TRUE(log.OpenFile((tmp.path() / "log").string()));
    for (int i = 0; i < 100; ++i)
        log.Limited("bad request", 3, "bad " + std::to_string(i));
    log.Limited("closed", 3, "closed 0");
    log.Write("unlimited");
    now += std::chrono::milliseconds(999);
    log.FlushSuppressed(); // still the same second: the count waits
    log.Limited("bad request", 3, "bad late");
    ASSERT_TRUE(log.Flush());
    EXPECT_EQ(Lines(tmp.path() / "log"),
              (std::vector<std::string>{"bad 0", "bad 1", "bad 2", "closed 0", "unlimited"}));
    now += std::chrono::milliseconds(1);
    log.FlushSuppressed();
    log.Limited("bad request", 3, "bad next");
    ASSERT_TRUE(log.Flush());
    EXPECT_EQ(Lines(tmp.path() / "log"),
              (std::vector<std::string>{"bad 0", "bad 1", "bad 2", "closed 0", "unlimited",
                                        "bad request: 98 more suppressed", "bad next"}));
}

// Tests that Reopen moves to a new file of the same name after the old one was renamed away, as
// logrotate does, and that nothing is lost on either side.
TEST(EventLogTest, ReopensTheFileByName) {
    TempFolder tmp;
    EventLog log;
    ASSERT_TRUE(log.OpenFile((tmp.path() / "log").string()));
    // Whatever the umask, other users cannot read it.
    EXPECT_EQ(fs::status(tmp.path() / "log").permissions() & fs::perms::others_all, fs::perms::none);
    log.Write("before");
    fs::rename(tmp.path() / "log", tmp.path() / "log.1");
    log.Write("still old");
    ASSERT_TRUE(log.Reopen());
    log.Write("after");
    ASSERT_TRUE(log.Flush());
    EXPECT_EQ(Lines(tmp.path() / "log.1"), (std::vector<std::string>{"before", "still old"}));
    EXPECT_EQ(Lines(tmp.path() / "log"), (std::vector<std::string>{"after"}));
    // A folder that is gone keeps the old file.
    EventLog lost;
    ASSERT_TRUE(lost.OpenFile((tmp.path() / "sub.log").string()));
    fs::remove(tmp.path() / "sub.log");
    fs::create_directory(tmp.path() / "sub.log"); // the name is now a folder: cannot be opened
    EXPECT_FALSE(lost.Reopen());
    lost.Write("kept");
}

namespace {

// A pipe of one page that nobody reads yet; the log reaches it by name, as a FIFO would be.
struct StalledPipe {
    int fds[2] = {-1, -1};
    StalledPipe() {
        if (::pipe2(fds, O_CLOEXEC) == 0)
            ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    }
    ~StalledPipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string Path() const { return "/proc/self/fd/" + std::to_string(fds[1]); }
    // Reads what is in the pipe until `done` (when given) holds and it stays empty for 200 ms: a reader
    // that gave up while a slow writer (a sanitizer build, a loaded machine) still had lines would stall
    // it again.
    std::string ReadAvailable(const std::atomic<bool>* done = nullptr) {
        std::string text;
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        char buf[4096];
        for (int idle = 0; idle < 40 || (done != nullptr && !done->load());) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n > 0) {
                text.append(buf, size_t(n));
                idle = 0;
            } else {
                ++idle;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        return text;
    }
};

} // namespace

// Tests that writers never wait for a log reader that stalls: lines beyond the queue are dropped and
// counted, the count is logged once the reader drains the pipe, and every line is either kept or counted.
TEST(EventLogTest, AStalledReaderCostsLinesNotWriters) {
    StalledPipe pipe;
    auto log = std::make_unique<EventLog>(16 * 1024);
    ASSERT_TRUE(log->OpenFile(pipe.Path()));
    auto writing = std::async(std::launch::async, [&] {
        for (int i = 0; i < 20000; ++i)
            log->Write("line " + std::to_string(i));
    });
    ASSERT_EQ(writing.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // The reader wakes up and drains everything the writer still has.
    std::string text;
    std::atomic<bool> flushed{false};
    auto reading = std::async(std::launch::async, [&] { text = pipe.ReadAvailable(&flushed); });
    // A guard, not a measurement: under the thread sanitizer the drain alone can pass the usual 5 s.
    EXPECT_TRUE(log->Flush(std::chrono::seconds(60)));
    flushed = true;
    reading.wait();
    EXPECT_NE(text.find(" line 0\n"), std::string::npos);
    size_t kept = 0, dropped = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::string body = line.substr(line.find(' ') + 1);
        if (body.starts_with("line "))
            ++kept;
        else if (body.find(" log lines dropped") != std::string::npos)
            dropped += std::stoul(body);
    }
    EXPECT_GT(kept, 100u);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(kept + dropped, 20000u);
}

// Tests that the end of the log gives a reader that never drains the pipe a few seconds, not forever.
TEST(EventLogTest, TheEndDoesNotWaitForAStalledReader) {
    StalledPipe pipe;
    auto log = std::make_unique<EventLog>();
    ASSERT_TRUE(log->OpenFile(pipe.Path()));
    for (int i = 0; i < 2000; ++i)
        log->Write("line " + std::to_string(i) + std::string(100, 'x'));
    auto ending = std::async(std::launch::async, [&] { log.reset(); });
    EXPECT_EQ(ending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ending.wait();
}
