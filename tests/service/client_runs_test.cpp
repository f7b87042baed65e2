// Tests that each client run ends in exactly one outcome, the same every time, whatever the service
// does: a second offer, a malformed answer in front of a good one, a stop with megabytes of chunks still
// buffered, answers before the request or after the end, a slow or a silent link, a module list without
// end. Scripted services on loopback; the harness plays the dialog.
#include "client_harness.h"
#include "manual_clock.h"
#include "scripted_peer.h"
#include "scripted_services.h"

#include "service/messages.h"
#include "tests/publisher/temp_package.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <span>
#include <thread>

using namespace messages;
using namespace std::chrono_literals;

namespace {

// Bytes the compressor cannot shrink, so the packets on the wire are as large as the data.
std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
    return publisher::testing::Pattern(n, seed);
}

std::vector<uint8_t> ModuleReply(std::vector<ModuleRecord> mods, char last) {
    ModuleCheckResponse rsp;
    rsp.LastFlag = last;
    rsp.Modules = std::move(mods);
    return EncodeModuleCheckResponse(rsp);
}

std::vector<uint8_t> OneOffer(uint16_t downloadPort) {
    UpdateCheckResponse rsp;
    rsp.Offers.push_back({"000185", 4, 17, "127.0.0.1", downloadPort, 1});
    return EncodeUpdateCheckResponse(rsp);
}

// The chunks of one file, 1001 bytes each, the last one ending the module when `ends`.
std::vector<FileChunk> FileChunks(const char* module, const char* name, std::span<const uint8_t> data,
                                  bool ends) {
    std::vector<FileChunk> out;
    for (size_t at = 0; at < data.size() || out.empty(); at += kChunkDataMax) {
        auto part = data.subspan(at, std::min(kChunkDataMax, data.size() - at));
        out.push_back({module, name, "", part, false});
    }
    out.back().ModuleEnd = ends;
    return out;
}

// Size of every file below TempDir (the log excepted), by path.
std::map<std::string, uintmax_t> TempFiles() {
    std::map<std::string, uintmax_t> out;
    const std::string temp = TempDirText();
    for (const auto& e : std::filesystem::recursive_directory_iterator(temp))
        if (e.is_regular_file() && e.path().parent_path() != temp + "/log")
            out[e.path().string()] = e.file_size();
    return out;
}

// Bytes of one packet handed to a scripted peer as the test allows them, so that the test decides when
// each piece is on the wire.
class Trickle {
  public:
    explicit Trickle(std::vector<uint8_t> packet) : packet_(std::move(packet)) {}
    size_t size() const { return packet_.size(); }
    // Test thread: lets the peer send the packet up to `upTo` bytes.
    void Allow(size_t upTo) {
        {
            std::lock_guard guard(lock_);
            allowed_ = std::min(upTo, packet_.size());
        }
        changed_.notify_all();
    }
    // Test thread: the peer sends nothing more and leaves.
    void Finish() {
        {
            std::lock_guard guard(lock_);
            finished_ = true;
        }
        changed_.notify_all();
    }
    // Peer thread: sends each piece once allowed, and stays on the connection until Finish.
    void Serve(ScriptedPeer& peer) {
        size_t sent = 0;
        for (;;) {
            std::unique_lock guard(lock_);
            changed_.wait_for(guard, 20s, [&] { return allowed_ > sent || finished_; });
            if (allowed_ <= sent)
                return;
            std::vector<uint8_t> piece(packet_.begin() + ptrdiff_t(sent),
                                       packet_.begin() + ptrdiff_t(allowed_));
            sent = allowed_;
            guard.unlock();
            if (!peer.SendRaw(piece))
                return;
        }
    }

  private:
    const std::vector<uint8_t> packet_;
    std::mutex lock_;
    std::condition_variable changed_;
    size_t allowed_ = 0;
    bool finished_ = false;
};

// The download client has taken in (and so noted as traffic) `bytes` of a message still incomplete.
bool DownloadReceived(ClientHarness& h, size_t bytes) {
    return h.PumpUntilState([&] { return h.dl.socket && size_t(h.dl.socket->tcp.FillPos()) >= bytes; });
}

struct ShortSilence {
    explicit ShortSilence(std::chrono::milliseconds t) { AnswerWatchdog::SetTimeout(t); }
    ~ShortSilence() { AnswerWatchdog::SetTimeout(saved); }
    std::chrono::milliseconds saved = AnswerWatchdog::Timeout();
};

} // namespace

// Tests that an update-check answer with two offers, whose module lists are answered 200 ms apart,
// makes one module list (the first answer's), one download connection asking for each module once,
// and the files exactly as sent; the second list is logged and ignored.
TEST(ClientRunTest, TwoOffersMakeOneDownload) {
    ClientHarness h;
    auto core = Noise(1500, 1), docs = Noise(700, 2);
    std::span<const uint8_t> c(core);
    ScriptedPeer download(
        Answer({{{"core", "c.bin", "", c.first(1001), false}, {"core", "c.bin", "", c.subspan(1001), true}},
                {{"docs", "d.bin", "doc\\", docs, true}}}));
    int moduleChecks = 0; // peer thread only
    ScriptedPeer check([&](ScriptedPeer& p, const std::vector<uint8_t>& req) {
        if (PeekType(req.data(), req.size()) == kPkgUpdateCheckReq) {
            UpdateCheckResponse rsp;
            rsp.Offers = {{"000185", 4, 17, "127.0.0.1", download.port(), 1},
                          {"000185", 4, 18, "127.0.0.1", download.port(), 1}};
            p.Reply(EncodeUpdateCheckResponse(rsp));
        } else if (++moduleChecks == 1) {
            p.Reply(ModuleReply({Module("core", 1, 1), Module("docs", 1, 2)}, '0'));
        } else {
            std::this_thread::sleep_for(200ms);
            p.Reply(ModuleReply({Module("core", 9, 9), Module("extra", 1, 1)}, '0'));
        }
    });
    ASSERT_TRUE(h.check.SetServer("127.0.0.1", check.port()) && h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "Late ZynPublish_L_PkgModuleCheck_Rsp ignored"));
    h.PumpFor(100ms);

    EXPECT_EQ(h.Messages(), (std::vector<uint32_t>{kNotifyModuleListDone, kNotifyDLAuthentLink,
                                                   kNotifyFileDone, kNotifyFileDone, kNotifyDownloadDone}));
    ASSERT_EQ(GetModuleList().size(), 2u);
    EXPECT_EQ(GetModuleList()[0].Name(), "core");
    EXPECT_EQ(GetModuleList()[0].ModuleVerA, 1u);
    EXPECT_EQ(GetModuleList()[1].Name(), "docs");
    EXPECT_EQ(download.Connections(), 1);
    auto reqs = download.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0], EncodeFileDownloadRequest(
                           std::vector<DownloadItem>{{"000185", "core", 1, 1}, {"000185", "docs", 1, 2}}));
    EXPECT_EQ(h.ReadTempFile("c.bin"), std::string(core.begin(), core.end()));
    EXPECT_EQ(h.ReadTempFile("doc/d.bin"), std::string(docs.begin(), docs.end()));
    EXPECT_TRUE(h.FilesOutsideTempDir().empty());
}

// Tests that a malformed module-check answer followed in the same send by a valid one fails the check:
// 1136 alone, nothing in ModuleList, no 1130 and no download connection.
TEST(ClientRunTest, MalformedThenValidModuleAnswerFails) {
    ClientHarness h;
    ScriptedPeer download(Answer({}));
    ScriptedPeer check([&](ScriptedPeer& p, const std::vector<uint8_t>& req) {
        if (PeekType(req.data(), req.size()) == kPkgUpdateCheckReq) {
            p.Reply(OneOffer(download.port()));
            return;
        }
        auto lying = ModuleReply({Module("core", 1, 2)}, '0');
        lying[9] = 3; // RecCount 3, one record carried
        auto both = ScriptedPeer::Packet(lying);
        auto valid = ScriptedPeer::Packet(ModuleReply({Module("core", 1, 2)}, '0'));
        both.insert(both.end(), valid.begin(), valid.end());
        p.SendRaw(both);
    });
    ASSERT_TRUE(h.check.SetServer("127.0.0.1", check.port()) && h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyCheckLost));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "OnClientDisconnect Faile"));
    h.PumpFor(200ms);
    EXPECT_EQ(h.Messages(), std::vector<uint32_t>{kNotifyCheckLost});
    EXPECT_TRUE(GetModuleList().empty());
    EXPECT_EQ(download.Connections(), 0);
    auto lines = h.LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ProcessCheck" FW "ZynPublish_L_PkgModuleCheck_Rsp"), 0);
    EXPECT_TRUE(h.check.Failed());
}

// Tests the same for the download: a malformed response in front of a valid one in one send ends in one
// 1135, and nothing of the valid response is written.
TEST(ClientRunTest, MalformedThenValidDownloadAnswerFails) {
    ClientHarness h;
    auto data = Bytes(10, 1);
    Services s({Module("core", 1, 1)}, [&](ScriptedPeer& p, const std::vector<uint8_t>&) {
        auto lying = *EncodeFileDownloadResponse(std::vector<FileChunk>{{"core", "a.bin", "", data, true}});
        lying[9] = 2; // two records claimed, one carried
        auto both = ScriptedPeer::Packet(lying);
        auto valid = ScriptedPeer::Packet(
            *EncodeFileDownloadResponse(std::vector<FileChunk>{{"core", "b.bin", "", data, true}}));
        both.insert(both.end(), valid.begin(), valid.end());
        p.SendRaw(both);
    });
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDLLost));
    h.PumpFor(200ms);
    EXPECT_EQ(h.Messages(),
              (std::vector<uint32_t>{kNotifyModuleListDone, kNotifyDLAuthentLink, kNotifyDLLost}));
    EXPECT_TRUE(TempFiles().empty());
}

// Tests that a Stop while about 10 MiB of chunks are still arriving or buffered leaves the files as they
// were when Stop returned, reports 1135 once and posts nothing after it.
TEST(ClientRunTest, StopWithChunksBufferedWritesNothingMore) {
    ClientHarness h;
    auto bulk = Noise(10 << 20, 3);
    const size_t perMessage = MaxChunksPerMessage(kDownloadRspSize, MaxEncodableMessage());
    std::atomic<size_t> sent{0};
    Services s(
        {Module("first", 1, 1), Module("bulk", 1, 1)}, [&](ScriptedPeer& p, const std::vector<uint8_t>&) {
            auto stream = ScriptedPeer::Packet(
                *EncodeFileDownloadResponse(FileChunks("first", "f.bin", Bytes(1, 1), true)));
            // The bulk module never ends: the download cannot complete before the stop, whatever the timing.
            auto chunks = FileChunks("bulk", "b.bin", bulk, false);
            for (size_t at = 0; at < chunks.size(); at += perMessage) {
                std::span<const FileChunk> part(chunks.data() + at, std::min(perMessage, chunks.size() - at));
                auto packet = ScriptedPeer::Packet(*EncodeFileDownloadResponse(part));
                stream.insert(stream.end(), packet.begin(), packet.end());
            }
            p.SendRaw(stream);
            sent = stream.size();
        });
    std::map<std::string, uintmax_t> atStop;
    h.react = [&](uint32_t message, intptr_t) {
        if (message == kNotifyFileDone && atStop.empty()) {
            h.dl.Stop(); // the dialog's close
            atStop = TempFiles();
        }
    };
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDLLost));
    for (int i = 0; i < 500 && sent == 0; ++i) // until the service is done sending (or cut off)
        h.PumpFor(10ms);
    h.PumpFor(300ms);

    EXPECT_EQ(h.Messages(), (std::vector<uint32_t>{kNotifyModuleListDone, kNotifyDLAuthentLink,
                                                   kNotifyFileDone, kNotifyDLLost}));
    EXPECT_EQ(TempFiles(), atStop);
    EXPECT_TRUE(h.dl.Failed());
    const std::string bulkPath = TempDirText() + "/b.bin";
    std::printf("[ figure ] bulk bytes written when Stop returned: %ju of %zu\n",
                atStop.count(bulkPath) ? atStop[bulkPath] : uintmax_t(0), bulk.size());
}

// Tests that download responses arriving before the request are ignored and logged: even an empty one,
// which with nothing pending would have completed the download, counts nothing; the real answer then
// installs, and a second DownloadModule asks for nothing more.
TEST(ClientRunTest, AnswersBeforeTheRequestAreIgnored) {
    ClientHarness h;
    h.connectDownload = false;
    GetModuleList() = {Module("core", 1, 1)};
    auto data = Bytes(30, 4);
    ScriptedPeer::Options early;
    early.afterAuthent = {
        *EncodeFileDownloadResponse(std::vector<FileChunk>{{"core", "early.bin", "", data, true}}),
        *EncodeFileDownloadResponse(std::vector<FileChunk>{})};
    ScriptedPeer download(Answer({{{"core", "c.bin", "", data, true}}}), early);
    ASSERT_TRUE(h.dl.SetServer("127.0.0.1", download.port()));
    ASSERT_TRUE(h.dl.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyDLAuthentLink));
    ASSERT_TRUE(
        h.WaitForLogCount("ProcessDL" FW "ZynPublish_L_FileDownload_Rsp before the request ignored", 2));
    EXPECT_EQ(h.Messages(), std::vector<uint32_t>{kNotifyDLAuthentLink});
    EXPECT_TRUE(h.dl.Active());
    EXPECT_TRUE(TempFiles().empty());

    h.dl.DownloadModule();
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    EXPECT_EQ(h.Messages(),
              (std::vector<uint32_t>{kNotifyDLAuthentLink, kNotifyFileDone, kNotifyDownloadDone}));
    EXPECT_EQ(h.ReadTempFile("c.bin"), std::string(data.begin(), data.end()));
    EXPECT_FALSE(std::filesystem::exists(TempDirText() + "/early.bin"));

    h.dl.DownloadModule();
    EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "DownloadModule ignored"));
    EXPECT_EQ(download.Requests().size(), 1u);
}

// Tests that chunks arriving after the download completed are ignored: the temporary folder, deleted by
// the install as it moves on, is not made again, and nothing is posted after 1132.
TEST(ClientRunTest, ChunksAfterCompletionAreIgnored) {
    ClientHarness h;
    auto data = Bytes(30, 5);
    std::atomic<bool> cleared{false};
    Services s({Module("core", 1, 1)}, [&](ScriptedPeer& p, const std::vector<uint8_t>&) {
        p.Reply(*EncodeFileDownloadResponse(std::vector<FileChunk>{{"core", "c.bin", "", data, true}}));
        for (int i = 0; i < 1000 && !cleared; ++i)
            std::this_thread::sleep_for(5ms);
        p.Reply(*EncodeFileDownloadResponse(std::vector<FileChunk>{{"core", "c.bin", "", data, false},
                                                                   {"core", "x.bin", "late\\", data, true}}));
    });
    h.react = [&](uint32_t message, intptr_t) {
        if (message == kNotifyDownloadDone) {
            h.MoveLog(h.root() + "/after.log"); // the install sequence closes the log and deletes TempDir
            std::filesystem::remove_all(TempDirText());
            cleared = true;
        }
    };
    ASSERT_TRUE(Start(h, s));
    ASSERT_TRUE(h.RunUntil(kNotifyDownloadDone));
    ASSERT_TRUE(h.WaitForLog("ProcessDL" FW "ZynPublish_L_FileDownload_Rsp after the end ignored"));
    h.PumpFor(100ms);
    EXPECT_FALSE(std::filesystem::exists(TempDirText()));
    EXPECT_EQ(h.Messages().back(), kNotifyDownloadDone);
    EXPECT_EQ(h.Count(kNotifyFileDone), 1u);
    h.dl.Stop(); // the dialog's close in Done: the run is complete, nothing to report
    h.PumpPending();
    EXPECT_EQ(h.Messages().back(), kNotifyDownloadDone);
}

// Tests that the watchdog measures silence, not speed: a response that trickles in far slower than one
// message per timeout still installs (256 bytes per 100 ms, on a real socket, a manual clock and a
// 500 ms timeout), while a service that stops in the middle of a message fails the download exactly
// when the timeout has passed without a byte.
TEST(ClientRunTest, SlowLinkInstallsAndSilenceFails) {
    ShortSilence quick(500ms);
    auto data = Noise(6 * kChunkDataMax, 6);
    auto packet =
        ScriptedPeer::Packet(*EncodeFileDownloadResponse(FileChunks("core", "slow.bin", data, true)));
    Trickle slow(packet), stalled(packet);
    {
        ManualClock clock; // outlives the harness's clients
        ClientHarness h;
        h.dl.UseClock(clock);
        Services s({Module("core", 1, 1)},
                   [&](ScriptedPeer& p, const std::vector<uint8_t>&) { slow.Serve(p); });
        ASSERT_TRUE(Start(h, s));
        ASSERT_TRUE(h.PumpUntilState([&] { return s.download.Requests().size() == 1; }));
        int steps = 0;
        for (size_t at = 256; at < slow.size() && !h.Seen(kNotifyDLLost); at += 256, ++steps) {
            slow.Allow(at);
            ASSERT_TRUE(DownloadReceived(h, at));
            h.StepClock(clock, 100ms);
        }
        slow.Allow(slow.size());
        ASSERT_TRUE(h.RunUntilAny({kNotifyDownloadDone, kNotifyDLLost}));
        slow.Finish();
        EXPECT_TRUE(h.Seen(kNotifyDownloadDone));
        EXPECT_FALSE(h.Seen(kNotifyDLLost));
        EXPECT_GE(steps, 20); // the message took four timeouts and more
        EXPECT_EQ(h.ReadTempFile("slow.bin"), std::string(data.begin(), data.end()));
    }
    {
        ManualClock clock;
        ClientHarness h;
        h.dl.UseClock(clock);
        Services s({Module("core", 1, 1)},
                   [&](ScriptedPeer& p, const std::vector<uint8_t>&) { stalled.Serve(p); });
        ASSERT_TRUE(Start(h, s));
        stalled.Allow(stalled.size() / 2); // then silent until the client gives up
        ASSERT_TRUE(DownloadReceived(h, stalled.size() / 2));
        const TimerClock::TimePoint lastByte = clock.Now();
        while (!h.Seen(kNotifyDLLost) && clock.Now() - lastByte < 5s)
            h.StepClock(clock, 100ms);
        stalled.Finish();
        EXPECT_TRUE(h.Seen(kNotifyDLLost));
        EXPECT_EQ(clock.Now() - lastByte, 500ms);
        EXPECT_FALSE(h.Seen(kNotifyFileDone));
        EXPECT_TRUE(h.WaitForLog("ProcessDL" FW "No answer Faile"));
    }
}

// Tests that a service sending module-check messages that never end fails the check at the bound of
// 100000 records, with its log line, without a 1130 and with no more than the bound in ModuleList.
TEST(ClientRunTest, EndlessModuleListFailsAtTheBound) {
    ClientHarness h;
    const size_t perMessage = MaxModulesPerMessage(kModuleCheckRspSize, MaxEncodableMessage());
    std::vector<ModuleRecord> batch(perMessage, Module("m", 1, 1));
    std::atomic<int> messages{0};
    ScriptedPeer check([&](ScriptedPeer& p, const std::vector<uint8_t>& req) {
        if (PeekType(req.data(), req.size()) == kPkgUpdateCheckReq) {
            p.Reply(OneOffer(31712));
            return;
        }
        auto packet = ScriptedPeer::Packet(ModuleReply(batch, '1'));
        while (messages < 1000000 && p.SendRaw(packet)) // stops once the client closes
            ++messages;
    });
    ASSERT_TRUE(h.check.SetServer("127.0.0.1", check.port()) && h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyCheckLost));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "More than 100000 module records Faile"));
    EXPECT_EQ(h.Messages(), std::vector<uint32_t>{kNotifyCheckLost});
    EXPECT_EQ(GetModuleList().size(), ProcessCheck::kMaxModuleRecords / perMessage * perMessage);
    EXPECT_LT(messages.load(), 1000000); // the client, not the service, ended it
}
