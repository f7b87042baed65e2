// Tests of the event log's rate limit and its reopening for log rotation.
#include "publisher/event_log.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>

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
    EXPECT_EQ(Lines(tmp.path() / "log"),
              (std::vector<std::string>{"bad 0", "bad 1", "bad 2", "closed 0", "unlimited"}));
    now += std::chrono::milliseconds(1);
    log.FlushSuppressed();
    log.Limited("bad request", 3, "bad next");
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
