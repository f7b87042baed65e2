// Tests of both clients against the real publisher on loopback: the whole check and download, and
// every failure its test switches can produce, seen through the notifications, the log and the files.
#include "client_harness.h"

#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <chrono>
#include <cstdio>

using publisher::testing::ListTree;
using Publisher = publisher::testing::ServedPackage;

namespace {

// Shortens the wait for a silent service for one test.
struct ShortSilence {
    ShortSilence() { AnswerWatchdog::SetTimeout(std::chrono::milliseconds(300)); }
    ~ShortSilence() { AnswerWatchdog::SetTimeout(saved); }
    std::chrono::milliseconds saved = AnswerWatchdog::Timeout();
};

bool Start(ClientHarness& h, const Publisher& p) {
    EXPECT_TRUE(p.process->started());
    return h.check.SetServer("127.0.0.1", p.process->checkPort()) && h.check.Connect();
}

// What the module folders of the standard package lay over the download folder.
std::vector<std::pair<std::string, std::vector<uint8_t>>> ExpectedTree(const std::filesystem::path& package) {
    auto tree = ListTree(package / "modules" / "server");
    auto client = ListTree(package / "modules" / "client");
    tree.insert(tree.end(), client.begin(), client.end());
    std::sort(tree.begin(), tree.end());
    return tree;
}

} // namespace

// Tests the whole exchange with the publisher: InstallSettings and ModuleList filled, the package tree
// written below TempDir byte for byte, notifications in order and the log lines exactly.
TEST(PublisherExchangeTest, InstallsThePackage) {
    Publisher pub;
    ClientHarness h;
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(Start(h, pub));
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "ZynPublish_L_FileDownload_Rsp"));

    EXPECT_EQ(h.Messages(), (std::vector<uint32_t>{kNotifyModuleListDone, kNotifyDLAuthentLink,
                                                   kNotifyFileDone, kNotifyFileDone, kNotifyDownloadDone}));
    const InstallSettings& s = GetInstallSettings();
    EXPECT_EQ(s.NewVerPart3, 12u);
    EXPECT_EQ(s.NewVerPart4, 3u);
    EXPECT_STREQ(s.DownloadAddress, "127.0.0.1");
    EXPECT_EQ(s.DownloadPort, pub.process->downloadPorts().at(0));
    ASSERT_EQ(GetModuleList().size(), 3u);
    EXPECT_EQ(GetModuleList()[0].Name(), "server");
    EXPECT_EQ(GetModuleList()[1].Name(), "client");
    EXPECT_EQ(GetModuleList()[2].State, 'D');

    auto written = ListTree(TempDirText());
    std::erase_if(written, [](const auto& f) { return f.first.rfind("log/", 0) == 0; });
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, ExpectedTree(pub.package.path()));
    EXPECT_TRUE(h.FilesOutsideTempDir().empty());

    // Lines of the two receive threads and the interface thread; the endpoint lines and the accepted
    // link are written by threads racing the next step, so they are checked apart.
    auto lines = h.LogLines();
    for (const std::string& racing :
         {"SocketSend_ip:127.0.0.1__port:" + std::to_string(pub.process->checkPort()),
          "SocketSend_ip:127.0.0.1__port:" + std::to_string(s.DownloadPort),
          std::string("ProcessDL" FW "OnAuthentLink Success"),
          std::string("ProcessCheck" FW "ZynPublish_L_PkgModuleCheck_Rsp")}) {
        auto it = std::find(lines.begin(), lines.end(), racing);
        ASSERT_NE(it, lines.end()) << racing;
        lines.erase(it);
    }
    const std::string temp = TempDirText();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "ProcessCheck" FW "QryCheckUpdate", "ProcessCheck" FW "QryCheckModule",
                         "DownloadModule Need Request Module" FW "DownloadModule", "U--1_2----server",
                         "U--3_4----client", "ProcessDL" FW "DownloadModule", temp + "\\empty.txt",
                         temp + "\\one.bin", "ProcessCheck" FW "ZynPublish_L_FileDownload_Rsp"}));
    size_t bytes = 0;
    for (const auto& f : written)
        bytes += f.second.size();
    std::printf("[ figure ] whole check and download of %zu bytes in %zu files: %.3f s (%.1f MiB/s)\n", bytes,
                written.size(), seconds, double(bytes) / (1 << 20) / seconds);
}

// Tests that a refused check authentication posts 1127, a refused login 1128, and nothing on offer
// 1134 with the service's code, each logged and none writing a file.
TEST(PublisherExchangeTest, CheckFailuresAreReported) {
    struct Case {
        std::vector<std::string> switches;
        uint32_t message;
        intptr_t lParam;
        const char* line;
    };
    const Case cases[] = {
        {{"--test-refuse-auth", "7"}, kNotifyCheckAuthRefused, 0, "ProcessCheck" FW "OnAuthentLink Faile"},
        {{"--test-refuse-login", "3"}, kNotifyLoginRefused, 0, "ProcessCheck_OnLogin" FW "Connect Faile"},
        {{"--test-offer-nothing", "5"},
         kNotifyNothingOffered,
         5,
         "ProcessCheck" FW "ZynPublish_L_PkgUpdateCheck_Rsp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.switches[0]);
        Publisher pub(c.switches);
        ClientHarness h;
        ASSERT_TRUE(Start(h, pub));
        ASSERT_TRUE(h.RunUntil(c.message));
        ASSERT_TRUE(h.WaitForLog(c.line));
        EXPECT_EQ(h.notes.at(0), ClientHarness::Note(c.message, c.lParam));
        EXPECT_TRUE(GetModuleList().empty());
        EXPECT_TRUE(h.FilesOutsideTempDir().empty());
    }
}

// Tests that a download connection dropped by the service, and a hostile RelDir, both end in 1135
// with nothing written outside TempDir and no completion reported.
TEST(PublisherExchangeTest, DownloadFailuresAreReported) {
    for (const char* sw : {"--test-drop-after", "--test-hostile-reldir"}) {
        SCOPED_TRACE(sw);
        std::vector<std::string> switches = {sw};
        if (std::string(sw) == "--test-drop-after")
            switches.push_back("1");
        Publisher pub(switches);
        ClientHarness h;
        ASSERT_TRUE(Start(h, pub));
        ASSERT_TRUE(h.RunUntilAny({kNotifyDLLost, kNotifyDownloadDone}));
        ASSERT_TRUE(h.WaitForLog("ProcessDL" FW "OnClientDisconnect Faile"));
        EXPECT_TRUE(h.Seen(kNotifyDLLost));
        EXPECT_FALSE(h.Seen(kNotifyDownloadDone));
        EXPECT_TRUE(h.FilesOutsideTempDir().empty());
        if (std::string(sw) == "--test-hostile-reldir") {
            auto lines = h.LogLines();
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("ProcessDL" FW "Unsafe path (", 0) == 0;
            }));
            EXPECT_FALSE(h.Seen(kNotifyFileDone));
        }
    }
}

// Tests that a service answering with bytes that are no packet (dropped by the codec without a word)
// does not leave the installer waiting for ever: the silence closes the connection and 1136 arrives.
TEST(PublisherExchangeTest, GarbageEndsInLostConnection) {
    ShortSilence quick;
    Publisher pub({"--test-garbage"});
    ClientHarness h;
    ASSERT_TRUE(Start(h, pub));
    ASSERT_TRUE(h.RunUntil(kNotifyCheckLost));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "OnClientDisconnect Faile"));
    auto lines = h.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ProcessCheck" FW "No answer Faile"), lines.end());
    EXPECT_EQ(h.Messages(), std::vector<uint32_t>{kNotifyCheckLost});
    EXPECT_TRUE(h.FilesOutsideTempDir().empty());
}

// Tests that stopping the download at its first finished module ends the run in exactly one outcome with
// the real publisher: the download was complete before the stop (1132, no 1135), or 1135 comes and
// nothing after it; and no file below TempDir changes once Stop has returned.
TEST(PublisherExchangeTest, StopDuringDownloadHasOneOutcome) {
    Publisher pub;
    ClientHarness h;
    auto files = [] {
        auto tree = ListTree(TempDirText());
        std::erase_if(tree, [](const auto& f) { return f.first.rfind("log/", 0) == 0; });
        return tree;
    };
    bool stopped = false;
    decltype(files()) atStop;
    h.react = [&](uint32_t message, intptr_t) {
        if (message == kNotifyFileDone && !stopped) {
            stopped = true;
            h.dl.Stop(); // the dialog's close
            atStop = files();
        }
    };
    ASSERT_TRUE(Start(h, pub));
    ASSERT_TRUE(h.RunUntilAny({kNotifyDownloadDone, kNotifyDLLost}));
    h.PumpFor(std::chrono::milliseconds(500));
    ASSERT_TRUE(stopped);
    EXPECT_EQ(h.Count(kNotifyDownloadDone) + h.Count(kNotifyDLLost), 1u);
    // The loss report is sent, and a sent message overtakes what was posted before it (as on Windows):
    // a 1131 posted before the stop may still be delivered after 1135. Nothing else may follow.
    const std::vector<uint32_t> messages = h.Messages();
    auto outcome = std::find_if(messages.begin(), messages.end(),
                                [](uint32_t m) { return m == kNotifyDownloadDone || m == kNotifyDLLost; });
    ASSERT_NE(outcome, messages.end());
    for (auto it = std::next(outcome); it != messages.end(); ++it)
        EXPECT_TRUE(*outcome == kNotifyDLLost && *it == kNotifyFileDone) << *it << " after " << *outcome;
    EXPECT_EQ(files(), atStop);
    EXPECT_TRUE(h.FilesOutsideTempDir().empty());
}
