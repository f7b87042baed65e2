// Tests of the download client against scripted services on loopback: the files it writes below
// TempDir, what it posts and logs, and that no answer can make it write anywhere else.
#include "client_harness.h"
#include "scripted_peer.h"
#include "scripted_services.h"

#include "core/wire.h"
#include "net/packet_codec.h"
#include "service/messages.h"

#include <cstring>
#include <memory>

using namespace messages;

namespace {

std::vector<std::string> DownloadLines(const ClientHarness& h) {
    auto lines = h.LogLines();
    std::erase_if(lines, [](const std::string& l) {
        return l.rfind("SocketSend", 0) == 0 || l.rfind("ProcessCheck" FW "Q", 0) == 0 ||
               l.rfind("ProcessCheck" FW "ZynPublish_L_Pkg", 0) == 0;
    });
    return lines;
}

} // namespace

// Tests the whole exchange: the package tree is written below TempDir with chunks appended in order,
// one 1131 per requested module, then 1132, and the download's log lines byte for byte.
TEST(ProcessDLTest, WritesThePackageTree) {
    ClientHarness h;
    auto big = Bytes(2500, 3), doc = Bytes(10, 9);
    std::span<const uint8_t> b(big);
    Services s(
        {Module("core", 1, 2), Module("later", 1, 1, 'D'), Module("docs", 0xFFFFFFFF, 4)},
        Answer({{{"core", "a.dll", "bin\\", b.first(1001), false},
                 {"core", "a.dll", "bin\\", b.subspan(1001, 1001), false}},
                {{"core", "a.dll", "bin\\", b.subspan(2002), false}, {"core", "empty.txt", "", {}, true}},
                {{"docs", "y.txt", "doc\\x\\", doc, true}}}));
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "ZynPublish_L_FileDownload_Rsp"));
    EXPECT_EQ(h.Messages(), (std::vector<uint32_t>{kNotifyModuleListDone, kNotifyDLAuthentLink,
                                                   kNotifyFileDone, kNotifyFileDone, kNotifyDownloadDone}));
    EXPECT_EQ(h.notes[1].second, 0);
    EXPECT_EQ(h.ReadTempFile("bin/a.dll"), std::string(big.begin(), big.end()));
    EXPECT_EQ(h.ReadTempFile("doc/x/y.txt"), std::string(doc.begin(), doc.end()));
    EXPECT_TRUE(std::filesystem::exists(TempDirText() + "/empty.txt"));
    EXPECT_EQ(h.dl.PendingCount(), 0);
    EXPECT_FALSE(h.dl.Active());
    EXPECT_TRUE(h.FilesOutsideTempDir().empty());

    auto reqs = s.download.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    std::vector<DownloadItem> asked = {{"000185", "core", 1, 2}, {"000185", "docs", 0xFFFFFFFF, 4}};
    EXPECT_EQ(reqs[0], EncodeFileDownloadRequest(asked));

    const std::string temp = TempDirText();
    auto lines = DownloadLines(h);
    // The receive thread logs the accepted link after posting it, so the interface thread's first
    // line may come before it; everything else is in one thread's order.
    auto success = std::find(lines.begin(), lines.end(), "ProcessDL" FW "OnAuthentLink Success");
    ASSERT_NE(success, lines.end());
    lines.erase(success);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "DownloadModule Need Request Module" FW "DownloadModule", "U--1_2----core",
                         "U---1_4----docs", "ProcessDL" FW "DownloadModule", temp + "\\empty.txt",
                         temp + "\\doc\\x\\y.txt", "ProcessCheck" FW "ZynPublish_L_FileDownload_Rsp"}));
}

// Tests that when every module is 'D' the request has no records and the first answer, even an
// empty one, completes the download.
TEST(ProcessDLTest, NothingToRequestCompletesOnFirstAnswer) {
    ClientHarness h;
    Services s({Module("a", 1, 1, 'D'), Module("b", 1, 1, 'D')}, Answer({{}}));
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    auto reqs = s.download.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].size(), 74u);
    EXPECT_EQ(wire::LoadU16(&reqs[0][9]), 0);
    EXPECT_EQ(wire::LoadU32(&reqs[0][11]), 74u);
    EXPECT_FALSE(h.Seen(kNotifyFileDone));
}

// Tests that a chunk of a module nobody asked for is written without a 1131, and that a second end
// of an already finished module changes nothing.
TEST(ProcessDLTest, UnrequestedAndRepeatedEndsAreNotCounted) {
    ClientHarness h;
    auto one = Bytes(5, 1);
    Services s({Module("core", 1, 1), Module("docs", 1, 1)},
               Answer({{{"stray", "s.bin", "", one, true}, {"core", "c.bin", "", one, true}},
                       {{"core", "c2.bin", "", one, true}},
                       {{"docs", "d.bin", "", one, true}}}));
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    h.PumpPending();
    EXPECT_EQ(h.Count(kNotifyFileDone), 2u);
    EXPECT_EQ(h.ReadTempFile("s.bin").size(), 5u);
    EXPECT_EQ(h.ReadTempFile("c2.bin").size(), 5u);
}

// Tests that every hostile or broken RelDir/FileName fails the download (the connection is closed and
// 1135 arrives), logs why, and writes nothing outside TempDir.
TEST(ProcessDLTest, HostilePathsFailTheDownload) {
    const std::pair<std::string, std::string> hostile[] = {
        {"..\\", "outside.txt"}, {"..\\", "ok.bin"}, // same name, new folder
        {"bin\\..\\..\\", "x"},  {"\\", "abs"},      {"C:\\", "drive"}, {"", "x:stream"},
        {"a/../../", "x"},       {"", "../x"},       {"bin\\", ""},     {".. \\", "x"},
        {"a\\\\", "x"},          {"...\\", "x"},     {"", "."},         {"", ".."}};
    for (const auto& [rel, file] : hostile) {
        SCOPED_TRACE(rel + " | " + file);
        ClientHarness h;
        auto data = Bytes(20, 1);
        Services s({Module("core", 1, 1)},
                   Answer({{{"core", "ok.bin", "", data, false}, {"core", file, rel, data, true}},
                           {{"core", "late.bin", "", data, true}}}));
        ASSERT_TRUE(Start(h, s));
        ASSERT_TRUE(h.RunUntilAny({kNotifyDLLost, kNotifyDownloadDone}));
        EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "OnClientDisconnect Faile"));
        EXPECT_TRUE(h.Seen(kNotifyDLLost));
        EXPECT_FALSE(h.Seen(kNotifyFileDone));
        EXPECT_FALSE(h.Seen(kNotifyDownloadDone));
        EXPECT_TRUE(h.FilesOutsideTempDir().empty());
        EXPECT_FALSE(std::filesystem::exists(TempDirText() + "/late.bin"));
        auto lines = h.LogLines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("ProcessDL" FW "Unsafe path (", 0) == 0 && l.ends_with(" Faile");
        }));
        // The check client's last line races the whole download: only the download's lines are ordered.
        EXPECT_EQ(DownloadLines(h).back(), "ProcessDL" FW "OnClientDisconnect Faile");
    }
}

// Tests that a local path longer than 254 bytes, and a file that cannot be opened, fail the download
// instead of leaving it waiting.
TEST(ProcessDLTest, LongPathAndUnopenableFileFail) {
    auto data = Bytes(3, 1);
    std::string longDir, longName(58, 'f');
    while (longDir.size() < 90)
        longDir += "abcdefghi\\";
    for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(kind);
        ClientHarness h;
        std::vector<FileChunk> chunks;
        if (kind == 0) {
            // The harness's TempDir is as deep as a long profile path would make it on Windows.
            ASSERT_GT(TempDirText().size() + 1 + longDir.size() + longName.size(), 254u);
            chunks = {{"core", longName, longDir, data, true}};
        } else {
            std::filesystem::create_directories(TempDirText() + "/taken");
            chunks = {{"core", "taken", "", data, true}}; // a folder of that name is in the way
        }
        Services s({Module("core", 1, 1)}, Answer({chunks}));
        ASSERT_TRUE(Start(h, s));
        ASSERT_TRUE(h.RunUntilAny({kNotifyDLLost, kNotifyDownloadDone}));
        EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "OnClientDisconnect Faile"));
        EXPECT_FALSE(h.Seen(kNotifyDownloadDone));
        EXPECT_TRUE(h.FilesOutsideTempDir().empty());
        // A path refused for its length makes no folder of it either.
        EXPECT_FALSE(std::filesystem::exists(TempDirText() + "/abcdefghi"));
        auto lines = h.LogLines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.rfind(kind == 0 ? "ProcessDL" FW "Path too long " : "ProcessDL" FW "Write ", 0) == 0;
        }));
    }
}

// Tests that a response with a DataLen outside 0..1001 is not used at all: no byte of it is written and
// the download fails rather than continuing with a corrupted file.
TEST(ProcessDLTest, LyingChunkIsDroppedWhole) {
    ClientHarness h;
    auto data = Bytes(10, 1);
    auto lying = *EncodeFileDownloadResponse(std::vector<FileChunk>{{"core", "first.bin", "", data, false},
                                                                    {"core", "first.bin", "", data, true}});
    wire::StoreU32(&lying[74 + 1229 + 1216], 1002);
    Services s({Module("core", 1, 1)},
               [lying](ScriptedPeer& p, const std::vector<uint8_t>&) { p.Reply(lying); });
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDLLost));
    EXPECT_FALSE(std::filesystem::exists(TempDirText() + "/first.bin"));
    EXPECT_FALSE(h.Seen(kNotifyFileDone));
}

// Tests that a connection dropped mid-download sends 1135 (waiting for the interface to handle it),
// closes the open file and logs the loss; the download is not reported complete.
TEST(ProcessDLTest, DroppedConnectionMidDownload) {
    ClientHarness h;
    auto data = Bytes(1001, 1);
    Services s({Module("core", 1, 1), Module("docs", 1, 1)},
               Answer({{{"core", "c.bin", "", data, true}, {"docs", "d.bin", "", data, false}}}, true));
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDLLost));
    EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "OnClientDisconnect Faile"));
    EXPECT_EQ(h.Count(kNotifyFileDone), 1u);
    EXPECT_FALSE(h.Seen(kNotifyDownloadDone));
    EXPECT_EQ(h.dl.PendingCount(), 1);
    EXPECT_TRUE(h.dl.Active());
    EXPECT_EQ(h.ReadTempFile("d.bin").size(), 1001u); // flushed and closed on the loss
    EXPECT_EQ(DownloadLines(h).back(), "ProcessDL" FW "OnClientDisconnect Faile");
    // Only the whole module counts as received: the next attempt asks for docs alone.
    auto modules = h.dl.ReceivedModules();
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].name, "core");
    EXPECT_EQ(modules[0].files, (std::vector<ReceivedFile>{{"c.bin", 1001}}));
    EXPECT_TRUE(h.dl.ReceivedModules(1).empty());
}

// Tests that a download the service refuses, or ends because the package changed under it, logs the
// service's code and fails the run as a transport fault (another attempt may ask again).
TEST(ProcessDLTest, RefusalCodeIsLogged) {
    ClientHarness h;
    Services s({Module("core", 1, 1)}, [](ScriptedPeer& p, const std::vector<uint8_t>&) {
        MessageHeader header;
        header.MsgType = kFileDownloadRsp;
        header.RecSize = kDownloadRspSize;
        header.ErrorCode = 21;
        p.Reply(EncodeMessage(header, {}));
    });
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDLLost));
    EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "ZynPublish_L_FileDownload_Rsp ErrorCode 21 Faile"));
    EXPECT_EQ(h.dl.fault(), ProcessClient::Fault::kTransport);
    EXPECT_FALSE(h.Seen(kNotifyFileDone));
}

// Tests that a refused download link posts 1133 with the code and logs the failure, and that it is
// the run's only outcome: stopping the client afterwards posts no 1135.
TEST(ProcessDLTest, RefusedAuthenticationIsPosted) {
    ClientHarness h;
    ScriptedPeer download([](ScriptedPeer&, const std::vector<uint8_t>&) {}, {.authError = 4});
    h.dl.SetServer("127.0.0.1", download.port());
    ASSERT_TRUE(h.dl.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyDLAuthentLink));
    EXPECT_EQ(h.notes[0], ClientHarness::Note(kNotifyDLAuthentLink, 4));
    EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "OnAuthentLink Faile"));
    // The refused link is the run's one outcome: the dialog's close reports nothing more.
    EXPECT_TRUE(h.dl.Failed());
    h.dl.Stop();
    h.PumpPending();
    EXPECT_EQ(h.Messages(), std::vector<uint32_t>{kNotifyDLAuthentLink});
    EXPECT_EQ(h.LogLines().back(), "ProcessDL" FW "OnClientDisconnect after the end");
}

// Tests that a download service that never answers the request does not leave the installer waiting:
// the silence fails the download with 1135 when the timeout has passed, and a finished download (or
// the idle check connection) is never failed by it. Both clients' watchdogs run on a manual clock.
TEST(ProcessDLTest, SilentServiceFailsTheDownload) {
    const auto timeout = AnswerWatchdog::Timeout();
    {
        ManualClock clock; // outlives the harness's clients
        ClientHarness h;
        h.check.UseClock(clock);
        h.dl.UseClock(clock);
        Services s({Module("core", 1, 1)}, [](ScriptedPeer&, const std::vector<uint8_t>&) {});
        ASSERT_TRUE(Start(h, s));
        ASSERT_TRUE(h.PumpUntilState([&] { return s.download.Requests().size() == 1; }));
        h.StepClock(clock, timeout - std::chrono::milliseconds(1), 2);
        h.PumpPending();
        EXPECT_FALSE(h.Seen(kNotifyDLLost));
        h.StepClock(clock, std::chrono::milliseconds(1), 2);
        ASSERT_TRUE(h.RunUntil(kNotifyDLLost));
        EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "No answer Faile"));
        EXPECT_FALSE(h.Seen(kNotifyCheckLost));
        EXPECT_EQ(h.dl.fault(), ProcessClient::Fault::kTransport); // silence may pass: another attempt
    }
    {
        // Bytes that are no packet, then silence: a service that would only say the same again.
        ManualClock clock;
        ClientHarness h;
        h.check.UseClock(clock);
        h.dl.UseClock(clock);
        Services s({Module("core", 1, 1)},
                   [](ScriptedPeer& p, const std::vector<uint8_t>&) { p.SendRaw(Bytes(200, 9)); });
        ASSERT_TRUE(Start(h, s));
        ASSERT_TRUE(h.PumpUntilState([&] { return h.dl.Garbled(); }));
        h.StepClock(clock, timeout, 2);
        ASSERT_TRUE(h.RunUntil(kNotifyDLLost));
        EXPECT_EQ(h.dl.fault(), ProcessClient::Fault::kFinal);
    }
    {
        ManualClock clock;
        ClientHarness h;
        h.check.UseClock(clock);
        h.dl.UseClock(clock);
        auto one = Bytes(1, 1);
        Services s({Module("core", 1, 1)}, Answer({{{"core", "c.bin", "", one, true}}}));
        ASSERT_TRUE(Start(h, s));
        ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
        // Well past the timeout: nothing more may come of the idle connections.
        h.StepClock(clock, timeout * 3, 2);
        h.PumpPending();
        EXPECT_FALSE(h.Seen(kNotifyDLLost));
        EXPECT_FALSE(h.Seen(kNotifyCheckLost));
    }
}

// Tests that thousands of modules (a module list in several check messages) are requested in several
// download requests, each small enough to be sent, together naming every module once in list order.
TEST(ProcessDLTest, ManyModulesAreRequestedInSeveralRequests) {
    ClientHarness h;
    h.connectDownload = false;
    std::vector<ModuleRecord> modules;
    for (int i = 0; i < 4000; ++i)
        modules.push_back(Module(("m" + std::to_string(i)).c_str(), uint32_t(i), 1));
    size_t perMessage = MaxModulesPerMessage(kModuleCheckRspSize, MaxEncodableMessage());
    ScriptedPeer download([](ScriptedPeer&, const std::vector<uint8_t>&) {});
    ScriptedPeer check([&](ScriptedPeer& p, const std::vector<uint8_t>& req) {
        if (PeekType(req.data(), req.size()) == kPkgUpdateCheckReq) {
            UpdateCheckResponse rsp;
            rsp.Offers.push_back({"000185", 1, 1, "127.0.0.1", download.port(), 1});
            p.Reply(EncodeUpdateCheckResponse(rsp));
            return;
        }
        for (size_t at = 0; at < modules.size(); at += perMessage) {
            ModuleCheckResponse part;
            part.Modules.assign(modules.begin() + ptrdiff_t(at),
                                modules.begin() + ptrdiff_t(std::min(modules.size(), at + perMessage)));
            part.LastFlag = at + perMessage >= modules.size() ? '0' : '1';
            p.Reply(EncodeModuleCheckResponse(part));
        }
    });
    h.check.SetServer("127.0.0.1", check.port());
    ASSERT_TRUE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyModuleListDone));
    ASSERT_EQ(GetModuleList().size(), 4000u);
    EXPECT_EQ(h.Count(kNotifyModuleListDone), 1u);

    h.dl.SetServer("127.0.0.1", download.port());
    ASSERT_TRUE(h.dl.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyDLAuthentLink));
    h.dl.DownloadModule();
    EXPECT_EQ(h.dl.PendingCount(), 4000);
    std::vector<std::vector<uint8_t>> reqs;
    for (int i = 0; i < 10000 && (reqs = download.Requests()).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(reqs.size(), 3u);
    std::vector<std::string> names;
    for (const auto& r : reqs) {
        EXPECT_LE(r.size(), MaxEncodableMessage());
        auto items = DecodeFileDownloadRequest(r.data(), r.size());
        ASSERT_TRUE(items);
        for (const auto& item : *items)
            names.push_back(item.ModuleName);
    }
    ASSERT_EQ(names.size(), 4000u);
    for (int i = 0; i < 4000; ++i)
        EXPECT_EQ(names[size_t(i)], "m" + std::to_string(i));
}
