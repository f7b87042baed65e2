// Tests of the attempts at the check and the download against the real publisher on loopback: a drop,
// an outage and a service gone for good, with the back-off stepped on a manual clock; the service's
// answers that stay final; and the back-off's own table.
#include "client_harness.h"

#include "net/packet_codec.h"
#include "service/download_attempts.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

using publisher::testing::PublisherProcess;
using publisher::testing::TempFolder;
using Event = DownloadAttempts::Event;
using Phase = DownloadAttempts::Phase;
using namespace std::chrono_literals;

namespace {

// Messages of file data one module fills: each module is one file of exactly this many full messages.
constexpr size_t kMessagesPerModule = 3;
size_t ModuleBytes() {
    return publisher::testing::FullMessageBytes(kMessagesPerModule);
}

// Package "000185" at version 12.`part4` with modules m1..m5 of ModuleBytes() each (content varies
// with the version), and a sixth listed but not downloaded.
void WriteFiveModules(const std::filesystem::path& root, uint32_t part4) {
    std::ofstream json(root / "package.json");
    json << R"({"package": "000185", "version": {"part3": 12, "part4": )" << part4
         << R"(}, "users": [{"name": "tulip", "password": "tulip"}], "modules": [)";
    for (int i = 1; i <= 5; ++i) {
        const std::string name = "m" + std::to_string(i);
        json << R"({"name": ")" << name << R"(", "versionA": 1, "versionB": )" << part4
             << R"(, "folder": "modules/)" << name << R"("},)";
        publisher::testing::WriteFile(root, "modules/" + name + "/" + name + ".bin",
                                      publisher::testing::Pattern(ModuleBytes(), uint32_t(i * 100 + part4)));
    }
    json << R"({"name": "docs", "versionA": 1, "versionB": 1, "state": "D"}]})";
}

// A port on 127.0.0.1 where nothing listens now (a publisher's, once it has gone).
uint16_t FreedPort() {
    publisher::testing::ServedPackage gone;
    return gone.process->checkPort();
}

// The publisher serving `package` with its check service on `port`.
std::unique_ptr<PublisherProcess> Serve(const TempFolder& package, const TempFolder& work, uint16_t port,
                                        std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--package",  package.path().string(),
                                  "--check",    "127.0.0.1:" + std::to_string(port),
                                  "--download", "127.0.0.1:0",
                                  "--metrics",  "127.0.0.1:0",
                                  "--log",      (work.path() / "events.log").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<PublisherProcess>(args);
}

size_t Threads() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// The attempts of one install, their notifications pumped by the test thread as the dialog's would be,
// and their back-off measured on a manual clock with no spread.
struct Install {
    explicit Install(uint16_t port) {
        DownloadAttempts::Setup setup;
        setup.address = "127.0.0.1";
        setup.port = port;
        setup.clock = &clock;
        setup.spread = [] { return 0.0; };
        setup.beforeDownload = [this] { ++downloads; };
        attempts = std::make_unique<DownloadAttempts>(std::move(setup));
        h.route = [this](uint32_t m, uintptr_t w, intptr_t l) {
            if (attempts)
                Note(attempts->OnNotify(m, w, l));
        };
    }
    ~Install() { attempts.reset(); } // while the queue still takes the clients' last reports

    void Note(Event e) {
        if (e != Event::kNone)
            events.push_back(e);
    }
    // Pumps until the install has ended or waits for its next attempt.
    bool Settle() {
        return h.PumpUntilState([&] {
            Phase p = attempts->phase();
            return p == Phase::kWaiting || p == Phase::kDone || p == Phase::kFailed;
        });
    }
    // Steps the clock through the wait and begins the next attempt; returns the wait.
    std::chrono::milliseconds WaitOut() {
        const auto wait = attempts->WaitLeft();
        clock.Advance(wait - 1ms);
        EXPECT_EQ(attempts->Tick(), Event::kNone) << "began before its wait was over";
        clock.Advance(1ms);
        Note(attempts->Tick());
        return wait;
    }
    size_t Lines(const std::string& prefix) const {
        auto lines = h.LogLines();
        return size_t(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }

    ManualClock clock;
    ClientHarness h;
    std::unique_ptr<DownloadAttempts> attempts;
    std::vector<Event> events;
    int downloads = 0;
};

// The download folder's files (the log aside) against the package's modules.
std::vector<std::pair<std::string, std::vector<uint8_t>>> Downloaded() {
    auto tree = publisher::testing::ListTree(TempDirText());
    std::erase_if(tree, [](const auto& f) { return f.first.rfind("log/", 0) == 0; });
    return tree;
}
std::vector<std::pair<std::string, std::vector<uint8_t>>> Modules(const TempFolder& package) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> tree;
    for (int i = 1; i <= 5; ++i) {
        const std::string name = "m" + std::to_string(i) + ".bin";
        tree.emplace_back(name, publisher::testing::ReadFile(package.path() / "modules" /
                                                             ("m" + std::to_string(i)) / name));
    }
    return tree;
}

} // namespace

// Tests that a download cut at 40 % (two modules whole, the third begun) installs whole from a second
// attempt that asks only for the three modules not yet whole, and that the bytes sent stay within the
// package plus the interrupted module.
TEST(DownloadAttemptsTest, DropMidDownloadResumesWithTheMissingModules) {
    TempFolder package, work;
    WriteFiveModules(package.path(), 3);
    auto pub =
        Serve(package, work, 0,
              {"--test-drop-after", std::to_string(2 * kMessagesPerModule + 1), "--test-drop-times", "1"});
    ASSERT_TRUE(pub->started());
    Install run(pub->checkPort());
    run.Note(run.attempts->Start());
    ASSERT_TRUE(run.Settle());
    ASSERT_EQ(run.attempts->phase(), Phase::kWaiting);
    EXPECT_EQ(run.attempts->ModulesDone(), 2);
    EXPECT_EQ(run.WaitOut(), 1000ms); // a module came whole: the back-off starts again
    ASSERT_TRUE(run.Settle());
    ASSERT_EQ(run.attempts->phase(), Phase::kDone);

    EXPECT_EQ(run.attempts->attempt(), 2);
    EXPECT_EQ(run.downloads, 2);
    EXPECT_EQ(run.Lines("DownloadAttempts" FW "Attempt 1 requests 5 modules: m1,m2,m3,m4,m5"), 1u);
    EXPECT_EQ(run.Lines("DownloadAttempts" FW "Attempt 2 requests 3 modules: m3,m4,m5"), 1u);
    EXPECT_EQ(Downloaded(), Modules(package));
    std::vector<ReceivedFile> expected;
    for (int i = 1; i <= 5; ++i)
        expected.push_back({"m" + std::to_string(i) + ".bin", ModuleBytes()});
    auto received = run.attempts->ReceivedFiles();
    for (auto& f : received)
        f.path = f.path.substr(f.path.rfind('\\') + 1);
    EXPECT_EQ(received, expected);

    const uint64_t sent =
        publisher::testing::ScrapeMetrics(pub->metricsPort())["orvane_sent_bytes_total{kind=\"file\"}"];
    EXPECT_GE(sent, 5 * ModuleBytes());
    EXPECT_LE(sent, 6 * ModuleBytes());
    std::printf("[ figure ] drop at 40 %%: %llu file bytes sent for a package of %zu (%.3f x)\n",
                (unsigned long long)sent, 5 * ModuleBytes(), double(sent) / double(5 * ModuleBytes()));
}

// Tests that an outage costs waits, not the install: the service gone for three attempts and back
// before the fourth; the waits double exactly on the manual clock; threads do not pile up with them.
TEST(DownloadAttemptsTest, ServiceThatComesBackIsWaitedFor) {
    TempFolder package, work;
    WriteFiveModules(package.path(), 3);
    const uint16_t port = FreedPort();
    Install run(port);
    run.Note(run.attempts->Start());
    ASSERT_EQ(run.attempts->phase(), Phase::kWaiting);
    const size_t threadsAfterOne = Threads();
    const long kibAfterOne = publisher::testing::ResidentKiB(::getpid());
    std::vector<std::chrono::milliseconds> waits{run.WaitOut()};
    while (run.attempts->attempt() < 5) {
        ASSERT_EQ(run.attempts->phase(), Phase::kWaiting);
        waits.push_back(run.WaitOut());
    }
    const size_t threadsAfterFive = Threads();
    const long kibAfterFive = publisher::testing::ResidentKiB(::getpid());
    EXPECT_LE(threadsAfterFive, threadsAfterOne) << "an attempt's threads outlived it";
    ASSERT_EQ(run.attempts->phase(), Phase::kWaiting);
    EXPECT_EQ(waits, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 8s}));
    EXPECT_EQ(run.attempts->WaitLeft(), 16s);

    auto pub = Serve(package, work, port);
    ASSERT_TRUE(pub->started());
    run.WaitOut();
    ASSERT_TRUE(run.Settle());
    EXPECT_EQ(run.attempts->phase(), Phase::kDone);
    EXPECT_EQ(run.attempts->attempt(), 6);
    EXPECT_EQ(Downloaded(), Modules(package));
    EXPECT_EQ(run.Lines("OnButtonClick" FW "Connect Faile"), 5u);
    EXPECT_EQ(run.Lines("DownloadAttempts" FW "Retry in "), 5u);
    std::printf(
        "[ figure ] the test process after one failed attempt: %zu threads, %ld KiB resident; after five: "
        "%zu threads, %ld KiB\n",
        threadsAfterOne, kibAfterOne, threadsAfterFive, kibAfterFive);
}

// Tests that a service gone for good fails the install after eight attempts in a row, after waits of
// 1, 2, 4, 8, 16, 30 and 30 s, and that the last report is the failure.
TEST(DownloadAttemptsTest, ServiceGoneForGoodGivesUp) {
    Install run(FreedPort());
    run.Note(run.attempts->Start());
    std::vector<std::chrono::milliseconds> waits;
    while (run.attempts->phase() == Phase::kWaiting)
        waits.push_back(run.WaitOut());
    EXPECT_EQ(waits, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 8s, 16s, 30s, 30s}));
    EXPECT_EQ(run.attempts->phase(), Phase::kFailed);
    EXPECT_EQ(run.attempts->attempt(), DownloadAttempts::kMaxFailedInARow);
    EXPECT_EQ(run.events.back(), Event::kFailed);
    EXPECT_EQ(run.attempts->FailureMessage(), 0u);
    EXPECT_EQ(run.Lines("DownloadAttempts" FW "Gave up after 8 attempts without a module Faile"), 1u);
    EXPECT_EQ(run.attempts->Tick(), Event::kNone);
}

// Tests that the service's refusals end the install at the first attempt, with what the dialog shows.
TEST(DownloadAttemptsTest, ServiceAnswersStayFinal) {
    struct Case {
        std::vector<std::string> switches;
        uint32_t message;
        int32_t code;
    };
    const Case cases[] = {
        {{"--test-refuse-auth", "7"}, kNotifyCheckAuthRefused, 0},
        {{"--test-refuse-login", "3"}, kNotifyLoginRefused, 0},
        {{"--test-offer-nothing", "5"}, kNotifyNothingOffered, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.switches[0]);
        publisher::testing::ServedPackage pub(c.switches);
        ASSERT_TRUE(pub.process->started());
        Install run(pub.process->checkPort());
        run.Note(run.attempts->Start());
        ASSERT_TRUE(run.Settle());
        EXPECT_EQ(run.attempts->phase(), Phase::kFailed);
        EXPECT_EQ(run.attempts->attempt(), 1);
        EXPECT_EQ(run.attempts->FailureMessage(), c.message);
        EXPECT_EQ(run.attempts->FailureCode(), c.code);
        EXPECT_EQ(run.Lines("DownloadAttempts" FW "Retry"), 0u);
    }
}

// Tests that when the second attempt is offered another version, what the first received is thrown
// away (the log kept) and the folder ends holding the new version alone; and that a late message of
// the first attempt changes nothing.
TEST(DownloadAttemptsTest, ChangedOfferStartsOverAndLateMessagesAreIgnored) {
    TempFolder oldPackage, newPackage, work;
    WriteFiveModules(oldPackage.path(), 3);
    WriteFiveModules(newPackage.path(), 4);
    auto pub = Serve(oldPackage, work, 0, {"--test-drop-after", std::to_string(2 * kMessagesPerModule + 1)});
    ASSERT_TRUE(pub->started());
    const uint16_t port = pub->checkPort();
    Install run(port);
    run.Note(run.attempts->Start());
    ASSERT_TRUE(run.Settle());
    ASSERT_EQ(run.attempts->ModulesDone(), 2);
    pub.reset();
    pub = Serve(newPackage, work, port);
    ASSERT_TRUE(pub->started());
    run.WaitOut();
    ASSERT_TRUE(run.Settle());
    ASSERT_EQ(run.attempts->phase(), Phase::kDone);
    EXPECT_EQ(run.Lines("DownloadAttempts" FW "Attempt 2 offer changed: the download starts over"), 1u);
    EXPECT_EQ(run.Lines("DownloadAttempts" FW "Attempt 2 requests 5 modules"), 1u);
    EXPECT_EQ(Downloaded(), Modules(newPackage));
    EXPECT_EQ(run.attempts->ReceivedFiles().size(), 5u);

    EXPECT_EQ(run.attempts->OnNotify(kNotifyFileDone, 1, 0), Event::kNone);
    EXPECT_EQ(run.attempts->OnNotify(kNotifyDLLost, 1, 0), Event::kNone);
    EXPECT_EQ(run.attempts->phase(), Phase::kDone);
    EXPECT_EQ(run.attempts->ModulesDone(), 5);
}

// Tests the back-off's table: doubling from 1 s, the spread of ±30 %, and the 30 s ceiling that the
// spread never lifts.
TEST(RetryBackoffTest, DoublesSpreadsAndStopsAtThirtySeconds) {
    struct Case {
        int failed;
        double spread;
        std::chrono::milliseconds wait;
    };
    const Case cases[] = {{1, 0, 1000ms},  {1, -1, 700ms},  {1, 1, 1300ms},   {2, 0.5, 2300ms},
                          {5, 1, 20800ms}, {6, 1, 30000ms}, {6, -1, 21000ms}, {40, 0, 30000ms},
                          {0, 0, 1000ms},  {3, 7, 5200ms}};
    for (const Case& c : cases) {
        RetryBackoff backoff([&] { return c.spread; });
        EXPECT_EQ(backoff.Wait(c.failed), c.wait) << c.failed << " " << c.spread;
    }
    RetryBackoff random;
    for (int i = 0; i < 100; ++i) {
        const auto wait = random.Wait(1);
        EXPECT_GE(wait, 700ms);
        EXPECT_LE(wait, 1300ms);
    }
}
