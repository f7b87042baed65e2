// Tests of the connection protocol without sockets: bytes in, packets out.
#include "net/message_header.h"
#include "net/session_messages.h"
#include "publisher/package/load_package.h"
#include "publisher/serving/error_codes.h"
#include "publisher/ops/event_log.h"
#include "publisher/serving/session.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

using namespace publisher;
using namespace publisher::testing;

namespace {

// Plays the installer against one Session.
class SessionHarness {
  public:
    explicit SessionHarness(Role role, size_t moduleBatch = 0, std::shared_ptr<MessageCache> cache = nullptr)
        : role_(role) {
        WriteStandardPackage(tmp_.path());
        package_ = *LoadPackage(tmp_.path());
        EXPECT_TRUE(log_.OpenFile((tmp_.path() / "events.log").string()));
        settings_.package = std::shared_ptr<const Package>(std::shared_ptr<void>(), &*package_);
        settings_.rotation = &rotation_;
        settings_.moduleBatch = moduleBatch;
        settings_.cache = std::move(cache);
        SetKey(fixed_, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
        Reconnect();
    }
    // A new connection to the same service: a fresh session, not yet authenticated.
    void Reconnect() {
        session_.reset();
        session_ = std::make_unique<Session>(role_, settings_, log_, "test", *scratch_);
        SetKey(send_, nullptr, 0);
        SetKey(recv_, nullptr, 0);
        authed_ = false;
        pending_.clear();
    }
    const std::filesystem::path& root() const { return tmp_.path(); }
    // Loads the package folder again, as a reload does, for the sessions from the next Reconnect on.
    void Reload() {
        session_.reset();
        package_ = *LoadPackage(tmp_.path());
        settings_.package = std::shared_ptr<const Package>(std::shared_ptr<void>(), &*package_);
    }
    std::string Log() const {
        log_.Flush();
        std::ifstream in(tmp_.path() / "events.log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::vector<uint8_t> Packet(const std::vector<uint8_t>& msg) {
        std::vector<uint8_t> p(kPacketAreaSize);
        size_t n = EncodePacket(msg.data(), msg.size(), authed_ ? '6' : '4', authed_ ? send_ : fixed_,
                                p.data(), buffers_);
        p.resize(n);
        return p;
    }
    // Feeds the whole buffer, `step` bytes at a time, keeping unconsumed bytes as a connection does.
    void Feed(const std::vector<uint8_t>& bytes, size_t step) {
        for (size_t i = 0; i < bytes.size(); i += step) {
            size_t n = std::min(step, bytes.size() - i);
            pending_.insert(pending_.end(), bytes.begin() + long(i), bytes.begin() + long(i + n));
            size_t used = session_->Receive(pending_.data(), pending_.size());
            pending_.erase(pending_.begin(), pending_.begin() + long(used));
        }
    }
    void Send(const std::vector<uint8_t>& msg, size_t step = 1 << 20) { Feed(Packet(msg), step); }
    // Every message the session has to write now.
    std::vector<std::vector<uint8_t>> Answers() {
        std::vector<std::vector<uint8_t>> out;
        std::vector<uint8_t> packet;
        while (session_->NextPacket(packet)) {
            DecodeResult r = DecodePacket(packet.data(), packet.size(), fixed_, recv_, buffers_);
            EXPECT_EQ(r.status, DecodeStatus::Message);
            EXPECT_EQ(r.consumed, packet.size());
            if (r.status == DecodeStatus::Message)
                out.emplace_back(r.message, r.message + r.length);
        }
        return out;
    }
    // The answer's fields, copied out of the message they point into.
    struct Keys {
        uint32_t errorCode = ~0u;
        std::string sendKeyText, recvKeyText;
        int32_t heartbeatSeconds = 0;
    };
    Keys Authenticate(size_t step = 1 << 20) {
        std::vector<uint8_t> req(kAuthentReqSize);
        BuildAuthentRequest(req.data());
        Send(req, step);
        auto answers = Answers();
        AuthentAnswer a;
        Keys keys;
        EXPECT_EQ(answers.size(), 1u);
        if (answers.size() == 1 && ReadAuthentAnswer(answers[0].data(), answers[0].size(), a)) {
            keys = {a.errorCode, std::string(a.sendKeyText), std::string(a.recvKeyText), a.heartbeatSeconds};
            if (a.errorCode == 0) {
                keyTexts_ = keys.sendKeyText + "|" + keys.recvKeyText;
                SetKey(send_, a.sendKeyText.data(), unsigned(a.sendKeyText.size()));
                SetKey(recv_, a.recvKeyText.data(), unsigned(a.recvKeyText.size()));
                authed_ = true;
            }
        }
        return keys;
    }
    uint32_t Login() {
        UserRecord user{"tulip", "tulip"};
        uint8_t record[UserRecord::kSize];
        user.Encode(record);
        std::vector<uint8_t> req(kLoginReqSize);
        BuildLoginRequest(record, req.data());
        Send(req);
        auto answers = Answers();
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? ~0u : PeekErrorCode(answers[0].data());
    }

    Session& session() { return *session_; }
    std::string keyTexts_;

  private:
    Role role_;
    TempFolder tmp_;
    std::optional<Package> package_;
    EventLog log_;
    DownloadRotation rotation_{{{"127.0.0.1", 4000}, {"127.0.0.2", 4001}}};
    ServiceSettings settings_;
    std::unique_ptr<Scratch> scratch_ = std::make_unique<Scratch>();
    std::unique_ptr<Session> session_;
    CodecBuffers buffers_;
    IdeaKey fixed_, send_, recv_;
    bool authed_ = false;
    std::vector<uint8_t> pending_;
};

} // namespace

// Tests that an authentication request fed one byte at a time is answered once, with two fresh
// 16-character keys that differ between connections, and that the answers after it use those keys.
TEST(SessionTest, AuthenticatesAcrossOddReadsWithFreshKeys) {
    auto h1 = std::make_unique<SessionHarness>(Role::Check);
    auto a = h1->Authenticate(1);
    EXPECT_EQ(a.errorCode, 0u);
    EXPECT_EQ(a.sendKeyText.size(), 16u);
    EXPECT_EQ(a.recvKeyText.size(), 16u);
    EXPECT_NE(a.sendKeyText, a.recvKeyText);
    EXPECT_EQ(a.heartbeatSeconds, 30);
    SessionHarness h2(Role::Check);
    h2.Authenticate(7);
    EXPECT_NE(h1->keyTexts_, h2.keyTexts_);
    // The login goes out under the new send key; its answer decodes only with the new receive key.
    EXPECT_EQ(h1->Login(), 0u);
}

// Tests that bytes which are no packet are dropped without an answer, and that a peer that keeps
// sending them is disconnected.
TEST(SessionTest, DropsGarbageAndEndsPersistentGarbage) {
    SessionHarness h(Role::Download);
    std::vector<uint8_t> junk(300, 'x');
    h.Feed(junk, 300);
    EXPECT_TRUE(h.Answers().empty());
    EXPECT_FALSE(h.session().Closing());
    // A length field of 131,072 and an unknown packet type are garbage as well.
    for (int i = 0; i < 20 && !h.session().Closing(); ++i) {
        std::vector<uint8_t> bad = {'#', '4', 0x00, 0x00, 0x02, 0x00};
        h.Feed(bad, 6);
        std::vector<uint8_t> badType = {'#', '9', 1, 0, 0, 0, 0};
        h.Feed(badType, 7);
    }
    EXPECT_TRUE(h.session().Closing());
    EXPECT_TRUE(h.Answers().empty());
}

// Tests that checks are refused before login and downloads before authentication, and that a service
// never answers the other service's messages.
TEST(SessionTest, EnforcesTheOrderOfTheExchange) {
    SessionHarness check(Role::Check);
    check.Authenticate();
    check.Send(messages::EncodeUpdateCheckRequest({"000185", 0, 0}));
    auto answers = check.Answers();
    ASSERT_EQ(answers.size(), 1u);
    auto rsp = messages::DecodeUpdateCheckResponse(answers[0].data(), answers[0].size());
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->ErrorCode, kErrorNotLoggedIn);
    EXPECT_EQ(rsp->Offers.at(0).Available, 0);
    // A download request on the check service gets no answer.
    check.Send(
        messages::EncodeFileDownloadRequest(std::vector<messages::DownloadItem>{{"000185", "client", 3, 4}}));
    EXPECT_TRUE(check.Answers().empty());

    SessionHarness download(Role::Download);
    download.Send(
        messages::EncodeFileDownloadRequest(std::vector<messages::DownloadItem>{{"000185", "client", 3, 4}}));
    answers = download.Answers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(PeekErrorCode(answers[0].data()), kErrorNotAuthenticated);
    EXPECT_TRUE(download.session().Closing());
}

// Tests that update checks hand out the download servers in turn and refuse unknown packages.
TEST(SessionTest, RotatesDownloadServersAndRefusesUnknownPackages) {
    SessionHarness h(Role::Check);
    h.Authenticate();
    ASSERT_EQ(h.Login(), 0u);
    std::vector<std::string> seen;
    for (int i = 0; i < 3; ++i) {
        h.Send(messages::EncodeUpdateCheckRequest({"000185", 0, 0}));
        auto answers = h.Answers();
        ASSERT_EQ(answers.size(), 1u);
        auto rsp = messages::DecodeUpdateCheckResponse(answers[0].data(), answers[0].size());
        ASSERT_TRUE(rsp);
        const auto& offer = rsp->Offers.at(0);
        EXPECT_EQ(offer.Available, 1);
        EXPECT_EQ(offer.VerPart3, 12u);
        EXPECT_EQ(offer.VerPart4, 3u);
        seen.push_back(offer.DownloadAddress + ":" + std::to_string(offer.DownloadPort));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.1:4000", "127.0.0.2:4001", "127.0.0.1:4000"}));

    h.Send(messages::EncodeUpdateCheckRequest({"000999", 0, 0}));
    auto answers = h.Answers();
    ASSERT_EQ(answers.size(), 1u);
    auto rsp = messages::DecodeUpdateCheckResponse(answers[0].data(), answers[0].size());
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->ErrorCode, kErrorUnknownPackage);
    EXPECT_EQ(rsp->Offers.at(0).Available, 0);
}

// Tests that a module-check reply is split by the batch size with LastFlag '0' only on the last part.
TEST(SessionTest, SplitsTheModuleReply) {
    SessionHarness h(Role::Check, 2);
    h.Authenticate();
    ASSERT_EQ(h.Login(), 0u);
    h.Send(messages::EncodeModuleCheckRequest({'P', "000185", 12, 3}));
    auto answers = h.Answers();
    ASSERT_EQ(answers.size(), 2u);
    auto first = messages::DecodeModuleCheckResponse(answers[0].data(), answers[0].size());
    auto second = messages::DecodeModuleCheckResponse(answers[1].data(), answers[1].size());
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->LastFlag, '0');
    EXPECT_EQ(first->Modules.size(), 2u);
    EXPECT_EQ(second->LastFlag, '0');
    ASSERT_EQ(second->Modules.size(), 1u);
    EXPECT_EQ(second->Modules[0].Name(), "docs");
    EXPECT_EQ(second->Modules[0].State, 'D');

    // A stale version gets no modules and an error.
    h.Send(messages::EncodeModuleCheckRequest({'P', "000185", 12, 2}));
    answers = h.Answers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(PeekErrorCode(answers[0].data()), kErrorUnknownPackage);
}

// Tests that a download naming a module the package lacks is refused and the connection ends, so an
// installer reports a failure instead of waiting for modules that never come.
TEST(SessionTest, RefusesUnknownModulesAndAnswersEmptyRequests) {
    SessionHarness h(Role::Download);
    h.Authenticate();
    h.Send(messages::EncodeFileDownloadRequest(std::vector<messages::DownloadItem>{}));
    auto answers = h.Answers();
    ASSERT_EQ(answers.size(), 1u);
    auto empty = messages::DecodeFileDownloadResponse(answers[0].data(), answers[0].size());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->Chunks.empty());
    EXPECT_EQ(empty->ErrorCode, 0u);

    h.Send(messages::EncodeFileDownloadRequest(
        std::vector<messages::DownloadItem>{{"000185", "client", 3, 4}, {"000185", "nosuch", 1, 1}}));
    answers = h.Answers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(PeekErrorCode(answers[0].data()), kErrorUnknownModule);
    EXPECT_TRUE(h.session().Closing());
    EXPECT_FALSE(h.session().Streaming());
}

// Tests that a peer sending requests without reading the answers is held back: the session stops
// taking packets once its answer queue is full and takes the rest after the queue has drained.
TEST(SessionTest, StopsTakingRequestsWhileAnswersPileUp) {
    SessionHarness h(Role::Check, 1);
    h.Authenticate();
    ASSERT_EQ(h.Login(), 0u);
    std::vector<uint8_t> one = h.Packet(messages::EncodeModuleCheckRequest({'P', "000185", 12, 3}));
    std::vector<uint8_t> flood;
    constexpr size_t kRequests = 20000;
    for (size_t i = 0; i < kRequests; ++i)
        flood.insert(flood.end(), one.begin(), one.end());

    size_t used = h.session().Receive(flood.data(), flood.size());
    EXPECT_LT(used, flood.size());
    EXPECT_EQ(used % one.size(), 0u); // whole packets only
    EXPECT_TRUE(h.session().QueueFull());
    EXPECT_LT(h.session().QueuedBytes(), Session::kMaxQueuedBytes + 4096);

    // Draining the answers lets the rest in, a bounded portion at a time, until every request is answered.
    size_t answered = h.Answers().size();
    size_t taken = used;
    while (taken < flood.size()) {
        size_t more = h.session().Receive(flood.data() + taken, flood.size() - taken);
        ASSERT_GT(more, 0u);
        taken += more;
        answered += h.Answers().size();
    }
    EXPECT_EQ(answered, kRequests * 3); // three modules, one per message
}

namespace {

struct Download {
    std::vector<std::vector<uint8_t>> messages;
    std::map<std::string, std::vector<uint8_t>> files; // RelDir + FileName: the chunks joined
};

// Authenticates and downloads the server and client modules on the harness's current connection.
Download DownloadAll(SessionHarness& h) {
    Download d;
    h.Authenticate();
    h.Send(messages::EncodeFileDownloadRequest(
        std::vector<messages::DownloadItem>{{"000185", "server", 1, 2}, {"000185", "client", 3, 4}}));
    d.messages = h.Answers();
    for (const auto& m : d.messages) {
        auto rsp = messages::DecodeFileDownloadResponse(m.data(), m.size());
        EXPECT_TRUE(rsp);
        if (rsp)
            for (const auto& c : rsp->Chunks)
                d.files[std::string(c.RelDir) + std::string(c.FileName)].insert(
                    d.files[std::string(c.RelDir) + std::string(c.FileName)].end(), c.Data.begin(),
                    c.Data.end());
    }
    EXPECT_FALSE(h.session().Streaming());
    return d;
}

} // namespace

// Compressible contents for the two server files the cache tests expect to be kept (the others stay as
// the standard package has them: random, one byte, or empty, none worth keeping).
std::vector<uint8_t> Text(size_t n) {
    static constexpr char kLine[] = "orvane terminal module data, line after line of it\r\n";
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(kLine[i % (sizeof kLine - 1)]);
    return out;
}

void MakeCompressible(SessionHarness& h) {
    WriteFile(h.root(), "modules/server/deps/depend.zip", Text(3 * 1024 * 1024 + 17));
    WriteFile(h.root(), "modules/server/deps/a/b/c/deep.bin", Text(1002));
    h.Reload();
    h.Reconnect();
}

// Tests that a later download gets the same messages from the kept files, under its own keys, that a
// file rewritten since is read again (and only it), and that files whose data does not compress (or
// hardly exists) are not kept.
TEST(SessionTest, KeepsFilesForLaterDownloadsUntilTheyChange) {
    auto cache = std::make_shared<MessageCache>(64 << 20, std::chrono::nanoseconds(0));
    SessionHarness h(Role::Download, 0, cache);
    MakeCompressible(h);
    const Download first = DownloadAll(h);
    EXPECT_EQ(first.files.at("deps\\depend.zip"), Text(3 * 1024 * 1024 + 17));
    EXPECT_EQ(first.files.at("exact.bin"), Pattern(1001, 3));
    EXPECT_EQ(first.files.at("empty.txt"), std::vector<uint8_t>{});
    EXPECT_EQ(cache->Entries(), 2u); // not the random exact.bin, the one-byte one.bin or empty.txt
    EXPECT_EQ(cache->Reserved(), 0u);
    EXPECT_GT(cache->Used(), 0u);
    EXPECT_EQ(Count(h.Log(), "kept from earlier downloads"), 0u);

    h.Reconnect();
    const std::string keys = h.keyTexts_;
    const Download second = DownloadAll(h);
    EXPECT_NE(h.keyTexts_, keys);
    EXPECT_EQ(second.messages, first.messages);
    // Each of the three files not kept is one message.
    const std::string kept = "(" + std::to_string(first.messages.size() - 3) + " of them kept from earlier";
    EXPECT_EQ(Count(h.Log(), kept), 1u);

    // One byte longer: a rewrite that the stamp sees whatever the clock's resolution.
    const auto changed = Text(3 * 1024 * 1024 + 18);
    WriteFile(h.root(), "modules/server/deps/depend.zip", changed);
    h.Reload(); // a file changed since loading is refused; the reloaded package shares the rest
    h.Reconnect();
    Download third = DownloadAll(h);
    EXPECT_EQ(third.files.at("deps\\depend.zip"), changed);
    third.files.erase("deps\\depend.zip");
    auto others = first.files;
    others.erase("deps\\depend.zip");
    EXPECT_EQ(third.files, others);
    EXPECT_EQ(Count(h.Log(), "(1 of them kept from earlier downloads)"), 1u); // deep.bin
    EXPECT_EQ(cache->Entries(), 2u);
}

// Tests the bounds: no entry beyond the capacity (the download still whole), none for a file changed
// within the settling time, and a stale entry dropped when it is looked up.
TEST(SessionTest, KeepsNothingBeyondItsBounds) {
    {
        auto cache = std::make_shared<MessageCache>(64 * 1024, std::chrono::nanoseconds(0));
        SessionHarness h(Role::Download, 0, cache);
        MakeCompressible(h);
        const Download d = DownloadAll(h);
        EXPECT_EQ(d.files.at("deps\\depend.zip"), Text(3 * 1024 * 1024 + 17));
        EXPECT_EQ(cache->Entries(), 1u); // deep.bin; the 3 MiB file does not fit
        EXPECT_LE(cache->Used(), 64u * 1024);
        EXPECT_EQ(cache->Reserved(), 0u);
    }
    {
        // The files were written just now, well within the hour: a settling time of its default 2 s could
        // pass before a download under a sanitizer on a loaded machine is over.
        auto cache = std::make_shared<MessageCache>(64 << 20, std::chrono::hours(1));
        SessionHarness h(Role::Download, 0, cache);
        MakeCompressible(h);
        DownloadAll(h);
        EXPECT_EQ(cache->Entries(), 0u);
        EXPECT_EQ(cache->Reserved(), 0u);
    }
    MessageCache cache(1 << 20, std::chrono::nanoseconds(0));
    PackageFile file;
    CachedFile entry;
    entry.stamp.size = 1000;
    entry.fileBytes = 1000;
    entry.messages.push_back(std::vector<uint8_t>(100, 1));
    entry.bytes = 100;
    file.stamp = entry.stamp;
    ASSERT_TRUE(cache.Reserve(1000));
    EXPECT_FALSE(cache.Reserve(1 << 20)); // the reservation counts
    cache.Store(&file, entry, 1000);
    EXPECT_EQ(cache.Used(), 100u);
    EXPECT_EQ(cache.Reserved(), 0u);
    EXPECT_TRUE(cache.Find(&file, entry.stamp));
    FileStamp other = entry.stamp;
    other.changedNs += 1;
    EXPECT_FALSE(cache.Find(&file, other));
    EXPECT_EQ(cache.Used(), 0u);
    EXPECT_EQ(cache.Entries(), 0u);
    // An entry larger than its reservation is not kept.
    ASSERT_TRUE(cache.Reserve(50));
    cache.Store(&file, entry, 50);
    EXPECT_EQ(cache.Entries(), 0u);
    EXPECT_EQ(cache.Reserved(), 0u);
}

// Tests that a connection that ends in the middle of a file gives its reservation back, and that the
// file is kept by a later download that finishes it.
TEST(SessionTest, ReleasesTheRoomOfAnUnfinishedRecording) {
    auto cache = std::make_shared<MessageCache>(64 << 20, std::chrono::nanoseconds(0));
    SessionHarness h(Role::Download, 0, cache);
    MakeCompressible(h);
    h.Authenticate();
    h.Send(
        messages::EncodeFileDownloadRequest(std::vector<messages::DownloadItem>{{"000185", "server", 1, 2}}));
    std::vector<uint8_t> packet;
    while (cache->Reserved() == 0 && h.session().NextPacket(packet)) {
    }
    ASSERT_GT(cache->Reserved(), 0u) << "no recording in progress";
    ASSERT_TRUE(h.session().NextPacket(packet)); // a second message of the 3 MiB file
    EXPECT_GT(cache->Reserved(), 0u);
    h.Reconnect();
    EXPECT_EQ(cache->Reserved(), 0u);
    DownloadAll(h);
    EXPECT_EQ(cache->Entries(), 2u);
    EXPECT_EQ(cache->Reserved(), 0u);
}

// Tests that modules named again, in the same request or while they are still on their way, are sent
// once, and that only whole valid requests count as activity.
TEST(SessionTest, SendsRepeatedModulesOnce) {
    SessionHarness h(Role::Download);
    h.Authenticate();
    EXPECT_EQ(h.session().ValidRequests(), 1u);
    std::vector<messages::DownloadItem> items(500, {"000185", "client", 3, 4});
    items.push_back({"000185", "docs", 5, 6});
    items.push_back({"000185", "client", 3, 4});
    h.Send(messages::EncodeFileDownloadRequest(items));
    // Asked again before the first answer went out: still once.
    h.Send(
        messages::EncodeFileDownloadRequest(std::vector<messages::DownloadItem>{{"000185", "client", 3, 4}}));
    EXPECT_EQ(h.session().ValidRequests(), 3u);
    std::map<std::string, int> ends;
    size_t chunks = 0;
    for (const auto& m : h.Answers()) {
        auto rsp = messages::DecodeFileDownloadResponse(m.data(), m.size());
        ASSERT_TRUE(rsp);
        chunks += rsp->Chunks.size();
        for (const auto& c : rsp->Chunks)
            ends[std::string(c.ModuleName)] += c.ModuleEnd;
    }
    EXPECT_EQ(ends, (std::map<std::string, int>{{"client", 1}, {"docs", 1}}));
    EXPECT_EQ(chunks, 3u); // exact.bin, one.bin and the placeholder of docs
    EXPECT_NE(h.Log().find("(500 repeated ones sent once)"), std::string::npos) << h.Log();
    EXPECT_NE(h.Log().find("1 modules already on their way"), std::string::npos) << h.Log();

    // A complaint is no activity.
    h.Feed({'#', '9', 1, 0, 0, 0, 0}, 1);
    EXPECT_EQ(h.session().ValidRequests(), 3u);
}

// Tests that a file that changes while it is sent ends the download with ErrorCode 30 and a close,
// without the module's end ever going out; a file that cannot be read at all does the same.
TEST(SessionTest, EndsTheDownloadOfAFileThatChanges) {
    for (bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "unreadable" : "changed");
        SessionHarness h(Role::Download);
        h.Authenticate();
        h.Send(messages::EncodeFileDownloadRequest(
            std::vector<messages::DownloadItem>{{"000185", "server", 1, 2}, {"000185", "client", 3, 4}}));
        std::vector<uint8_t> packet;
        ASSERT_TRUE(h.session().NextPacket(packet)); // deep.bin
        ASSERT_TRUE(h.session().NextPacket(packet)); // the first of depend.zip
        const auto zip = h.root() / "modules/server/deps/depend.zip";
        if (removed) {
            ASSERT_TRUE(h.session().NextPacket(packet));
            // Later files cannot be opened: empty.txt goes, and with it the permission to read.
            std::filesystem::remove(h.root() / "modules/server/empty.txt");
        } else {
            std::filesystem::resize_file(zip, 200000);
        }
        auto answers = h.Answers();
        ASSERT_FALSE(answers.empty());
        auto last = messages::DecodeFileDownloadResponse(answers.back().data(), answers.back().size());
        ASSERT_TRUE(last);
        EXPECT_EQ(last->ErrorCode, kErrorUnreadableFile);
        EXPECT_TRUE(last->Chunks.empty());
        for (const auto& m : answers) {
            auto rsp = messages::DecodeFileDownloadResponse(m.data(), m.size());
            ASSERT_TRUE(rsp);
            for (const auto& c : rsp->Chunks)
                EXPECT_FALSE(c.ModuleEnd) << c.FileName;
        }
        EXPECT_TRUE(h.session().Closing());
        EXPECT_FALSE(h.session().NextPacket(packet));
        EXPECT_NE(
            h.Log().find(removed ? "empty.txt: cannot be read" : "depend.zip: changed while it was sent"),
            std::string::npos)
            << h.Log();
    }
}
