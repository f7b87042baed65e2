// Tests that Protocol and ProcessClient run the handshake, install keys, dispatch messages and report
// disconnections as designed, against a scripted peer on 127.0.0.1.
#include "core/wide_path.h"
#include "core/install_log.h"
#include "loopback_peer.h"
#include "manual_clock.h"
#include "net/protocol.h"
#include "net/protocol_context.h"
#include "net/session_messages.h"
#include "core/wire.h"
#include "service/process_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

struct Event {
    explicit Event(std::string k, uint32_t c = 0, size_t l = 0, Bytes d = {})
        : kind(std::move(k)), code(c), length(l), data(std::move(d)) {}
    std::string kind;
    uint32_t code;
    size_t length;
    Bytes data;
    bool keysInstalled = false;
};

class RecordingClient : public ProcessClient {
  public:
    ~RecordingClient() override { Shutdown(); }

    std::function<void(RecordingClient&, uint32_t)> onAuthent;
    IdeaKey expectedSendKey{};

    void OnMessage(const uint8_t* msg, size_t len) override {
        Push(Event("message", 0, len, Bytes(msg, msg + len)));
    }
    void OnClientDisconnect(const char* text, int code) override {
        Push(Event("disconnect", uint32_t(code), std::strlen(text), Bytes(text, text + std::strlen(text))));
    }
    void OnHeartbeatLost() override { Push(Event("heartbeat-lost")); }
    void OnLogin(uint32_t errorCode, const uint8_t* body, size_t bodyLength) override {
        Push(Event("login", errorCode, bodyLength, Bytes(body, body + bodyLength)));
    }
    void OnServerNotice(uint32_t errorCode, size_t length) override {
        Push(Event("notice", errorCode, length));
    }
    void OnAuthentLink(uint32_t errorCode) override {
        IdeaKey now = context->SendKey();
        Event e("authent", errorCode);
        e.keysInstalled = std::memcmp(&now, &expectedSendKey, sizeof now) == 0;
        Push(e);
        if (onAuthent)
            onAuthent(*this, errorCode);
    }

    bool WaitCount(size_t n) {
        std::unique_lock<std::mutex> l(m_);
        return changed_.wait_for(l, 10s, [&] { return events_.size() >= n; });
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> l(m_);
        return events_;
    }

  private:
    void Push(Event e) {
        {
            std::lock_guard<std::mutex> l(m_);
            events_.push_back(std::move(e));
        }
        changed_.notify_all();
    }
    std::mutex m_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

const std::string kSendText = "SENDKEY-ABCDEFGH";
const std::string kRecvText = "RECVKEY-12345678";

IdeaKey Key(const std::string& text) {
    IdeaKey k;
    SetKey(k, text.data(), unsigned(text.size()));
    return k;
}

Bytes AuthAnswer(uint32_t error, int32_t heartbeat = 30) {
    Bytes m(kAuthentRspSize);
    BuildAuthentResponse(error, kSendText, heartbeat, kRecvText, m.data());
    return m;
}

struct Session : ::testing::Test {
    testpeer::Listener listener;
    ManualClock clock; // outlives the client's threads, for the tests that wait on it
    RecordingClient client;
    IdeaKey fixedKey = Key(std::string(kFixedKeyText));
    std::unique_ptr<testpeer::Connection> peer;

    void SetUp() override { client.expectedSendKey = Key(kSendText); }

    Bytes authRequest; // the message of the client's first packet

    // Connects the client and reads its authentication request.
    void Handshake() {
        ASSERT_TRUE(client.SetServer("127.0.0.1", listener.port()));
        ASSERT_TRUE(client.Connect());
        peer = listener.Accept();
        ASSERT_TRUE(peer);
        char type = 0;
        ASSERT_TRUE(peer->ReadPacket(authRequest, type, fixedKey));
        ASSERT_EQ('4', type);
        ASSERT_EQ(kMsgAuthentReq, wire::LoadU16(authRequest.data() + 6));
    }
    // Authenticates with result 0 and waits for OnAuthentLink.
    void Authenticate() {
        Handshake();
        ASSERT_TRUE(peer->Send(testpeer::MakePacket('4', AuthAnswer(0), fixedKey)));
        ASSERT_TRUE(client.WaitCount(1));
    }
    void SendSession(const Bytes& msg) {
        ASSERT_TRUE(peer->Send(testpeer::MakePacket('6', msg, Key(kRecvText))));
    }
};

// Tests that the first packet on the wire is type '4', message 1, 119 bytes, credential at 86.
TEST_F(Session, FirstPacketIsTheAuthenticationRequest) {
    Handshake(); // type '4', message 1
    ASSERT_EQ(kAuthentReqSize, authRequest.size());
    EXPECT_EQ(std::string(kCredential), std::string(reinterpret_cast<const char*>(authRequest.data() + 86)));
    EXPECT_TRUE(client.protocol->linkUp.load());
}

// Tests that result 0 installs both keys before OnAuthentLink(0), and that the login then goes out
// under the send key and a type '6' answer is read under the receive key.
TEST_F(Session, KeysBeforeAuthentLinkThenLoginUnderSessionKeys) {
    client.onAuthent = [](RecordingClient& c, uint32_t error) {
        if (error == 0)
            c.protocol->SendLogin(c.context.get());
    };
    Authenticate();
    auto events = client.Events();
    EXPECT_EQ("authent", events[0].kind);
    EXPECT_EQ(0u, events[0].code);
    EXPECT_TRUE(events[0].keysInstalled);
    EXPECT_EQ(30, client.protocol->heartbeatSeconds.load());

    Bytes login;
    char type = 0;
    ASSERT_TRUE(peer->ReadPacket(login, type, Key(kSendText)));
    EXPECT_EQ('6', type);
    ASSERT_EQ(kLoginReqSize, login.size());
    EXPECT_EQ(kMsgLoginReq, wire::LoadU16(login.data() + 6));
    UserRecord user;
    ASSERT_TRUE(ReadLoginRequest(login.data(), login.size(), user));
    EXPECT_EQ("tulip", user.userName);
    EXPECT_EQ("tulip", user.password);

    Bytes answer(80);
    ASSERT_EQ(80u, BuildLoginResponse(0, reinterpret_cast<const uint8_t*>("ABCDEF"), 6, answer.data(), 80));
    SendSession(answer);
    ASSERT_TRUE(client.WaitCount(2));
    events = client.Events();
    EXPECT_EQ("login", events[1].kind);
    EXPECT_EQ(6u, events[1].length);
    EXPECT_EQ(Bytes({'A', 'B', 'C', 'D', 'E', 'F'}), events[1].data);
}

// Tests that result 5 reaches OnAuthentLink(5) and leaves keys and interval untouched.
TEST_F(Session, RefusedAuthenticationLeavesKeys) {
    Handshake();
    ASSERT_TRUE(peer->Send(testpeer::MakePacket('4', AuthAnswer(5, 77), fixedKey)));
    ASSERT_TRUE(client.WaitCount(1));
    auto events = client.Events();
    EXPECT_EQ("authent", events[0].kind);
    EXPECT_EQ(5u, events[0].code);
    IdeaKey zero;
    std::memset(&zero, 0, sizeof zero);
    IdeaKey send = client.context->SendKey(), recv = client.context->RecvKey();
    EXPECT_EQ(0, std::memcmp(&zero, &send, sizeof zero));
    EXPECT_EQ(0, std::memcmp(&zero, &recv, sizeof zero));
    EXPECT_EQ(0, client.protocol->heartbeatSeconds.load());
    EXPECT_TRUE(client.context->tcp->IsConnected()); // closing is the client's decision
}

// Tests the dispatch: 18 never reaches the client, 12307 only OnServerNotice, 12370 OnMessage with
// its full length (resetting unanswered), and short or truncated messages nothing at all.
TEST_F(Session, DispatchByMessageId) {
    Authenticate();
    client.protocol->unanswered.store(3);
    Bytes shortAuth = AuthAnswer(0);
    shortAuth.resize(kRecvKeyOffset);
    Bytes tooShort(73, 0);
    wire::StoreU16(tooShort.data() + 6, 12370);
    SendSession(testpeer::MakeMessage(kMsgHeartbeatRsp, 0, 74));
    SendSession(shortAuth);
    SendSession(tooShort);
    SendSession(testpeer::MakeMessage(kMsgServerNotice, 44, 90));
    SendSession(testpeer::MakeMessage(12370, 0, 500, 0x42));
    // OnMessage runs before unanswered is reset: a later notice shows the reset has happened.
    SendSession(testpeer::MakeMessage(kMsgServerNotice, 0, 74));
    ASSERT_TRUE(client.WaitCount(4));
    auto events = client.Events();
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ("notice", events[1].kind);
    EXPECT_EQ(44u, events[1].code);
    EXPECT_EQ(90u, events[1].length);
    EXPECT_EQ("message", events[2].kind);
    EXPECT_EQ(500u, events[2].length);
    EXPECT_EQ(12370, wire::LoadU16(events[2].data.data() + 6));
    EXPECT_EQ(0, client.protocol->unanswered.load());
}

// Tests that a heartbeat answer lowers unanswered but never below zero.
TEST_F(Session, HeartbeatAnswersCountDown) {
    Authenticate();
    client.protocol->unanswered.store(1);
    SendSession(testpeer::MakeMessage(kMsgHeartbeatRsp, 0, 74));
    SendSession(testpeer::MakeMessage(kMsgHeartbeatRsp, 0, 74));
    SendSession(testpeer::MakeMessage(kMsgServerNotice, 0, 74)); // a marker that the two were handled
    ASSERT_TRUE(client.WaitCount(2));
    EXPECT_EQ(0, client.protocol->unanswered.load());
    client.protocol->unanswered.store(2);
    SendSession(testpeer::MakeMessage(kMsgHeartbeatRsp, 0, 74));
    Bytes marker = testpeer::MakeMessage(kMsgServerNotice, 0, 74);
    SendSession(marker);
    ASSERT_TRUE(client.WaitCount(3));
    EXPECT_EQ(1, client.protocol->unanswered.load());
}

// Tests that a server close reaches OnClientDisconnect once with the code page 936 text and 9.
TEST_F(Session, ServerCloseReportsTheLinkError) {
    Handshake();
    peer->Close();
    ASSERT_TRUE(client.WaitCount(1));
    auto events = client.Events();
    EXPECT_EQ("disconnect", events[0].kind);
    EXPECT_EQ(9u, events[0].code);
    EXPECT_EQ(Bytes({0xb4, 0xfa, 0xc0, 0xed, 0xb4, 0xed, 0xce, 0xf3}), events[0].data);
    EXPECT_FALSE(client.protocol->linkUp.load());
    client.Stop(); // nothing open any more: no second report
    EXPECT_EQ(1u, client.Events().size());
}

// Tests that Stop reports the disconnection before it returns, and the peer sees the close.
TEST_F(Session, StopReportsBeforeReturning) {
    Handshake();
    client.Stop();
    auto events = client.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("disconnect", events[0].kind);
    EXPECT_TRUE(peer->WaitClosed());
}

// Tests SetServer: port low bits 0 or no address fail; addresses are cut to 15 characters.
TEST_F(Session, SetServerRules) {
    EXPECT_FALSE(client.SetServer("127.0.0.1", 0x10000));
    EXPECT_FALSE(client.SetServer(nullptr, 31711));
    EXPECT_EQ(std::string(), client.context->ip);
    ASSERT_TRUE(client.SetServer("123.123.123.123456", 0x17BDF));
    EXPECT_EQ(std::string("123.123.123.123"), client.context->ip);
    EXPECT_EQ(31711, client.context->port);
    EXPECT_EQ(&client.socket->tcp, client.context->tcp);
    EXPECT_EQ(&client, client.protocol->client);
    EXPECT_EQ(client.protocol.get(), client.socket->protocol);
}

// Tests Open's paths and its log line: a refused endpoint reports once and returns false; no record
// means no connection; a second Open while connected stores the record but does not reconnect.
TEST_F(Session, OpenPathsAndLogLine) {
    std::string logPath = ::testing::TempDir() + "protocol_open_log.log";
    ASSERT_TRUE(OpenInstallLog(WidePathFromBytes(logPath)));
    uint16_t refused = testpeer::RefusedPort();
    ASSERT_TRUE(client.SetServer("127.0.0.1", refused));
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(1u, client.Events().size());

    ASSERT_TRUE(client.SetServer("127.0.0.1", listener.port()));
    EXPECT_FALSE(client.protocol->Open(client.context.get(), nullptr));
    EXPECT_FALSE(client.context->tcp->HasSocket());
    ASSERT_TRUE(client.Connect());
    UserRecord other{"someone", "else"};
    EXPECT_FALSE(client.protocol->Open(client.context.get(), &other));
    EXPECT_EQ("someone", UserRecord::Decode(client.context->userRecord).userName);
    EXPECT_EQ(1u, client.Events().size());
    CloseInstallLog();

    std::ifstream in(logPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string log = text.str();
    std::string refusedLine = "SocketSend_ip:127.0.0.1__port:" + std::to_string(refused) + "\r\n";
    std::string goodLine = "SocketSend_ip:127.0.0.1__port:" + std::to_string(listener.port()) + "\r\n";
    EXPECT_NE(std::string::npos, log.find(refusedLine));
    size_t first = log.find(goodLine);
    ASSERT_NE(std::string::npos, first);
    size_t second = log.find(goodLine, first + 1);
    ASSERT_NE(std::string::npos, second);
    EXPECT_NE(std::string::npos, log.find(goodLine, second + 1));
    std::remove(logPath.c_str());
}

// Tests the heartbeat loop when started: one request per interval told by the service and none
// before it, OnHeartbeatLost at 2 unanswered and a close after that. Time is a manual clock.
TEST_F(Session, HeartbeatLoopWhenStarted) {
    Handshake();
    ASSERT_TRUE(peer->Send(testpeer::MakePacket('4', AuthAnswer(0, 7), fixedKey)));
    ASSERT_TRUE(client.WaitCount(1));
    client.protocol->UseClock(clock);
    ASSERT_TRUE(client.protocol->Start());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(clock.WaitForSleepers(1));
        clock.Advance(6999ms);
        ASSERT_TRUE(clock.WaitForSleepers(1));
        EXPECT_EQ(i, client.protocol->unanswered.load()); // a millisecond short: nothing sent yet
        clock.Advance(1ms);
        Bytes msg;
        char type = 0;
        ASSERT_TRUE(peer->ReadPacket(msg, type, fixedKey));
        EXPECT_EQ('4', type);
        EXPECT_EQ(kHeartbeatReqSize, msg.size());
        EXPECT_EQ(kMsgHeartbeatReq, wire::LoadU16(msg.data() + 6));
        EXPECT_EQ(i + 1, client.protocol->unanswered.load());
    }
    ASSERT_TRUE(client.WaitCount(3));
    auto events = client.Events();
    EXPECT_EQ("heartbeat-lost", events[1].kind);
    EXPECT_EQ("disconnect", events[2].kind);
    EXPECT_TRUE(peer->WaitClosed());
}

// Tests that many clients can be made, connected and destroyed in any state without leaks or hangs.
TEST(ProcessClientLifetime, CreateConnectDestroy) {
    testpeer::Listener listener;
    std::vector<std::unique_ptr<testpeer::Connection>> peers;
    for (int i = 0; i < 8; ++i) {
        auto c = std::make_unique<RecordingClient>();
        if (i % 4 == 0)
            continue; // never set up
        ASSERT_TRUE(c->SetServer("127.0.0.1", listener.port()));
        if (i % 4 == 1)
            continue; // set up, never connected
        ASSERT_TRUE(c->Connect());
        peers.push_back(listener.Accept());
        if (i % 4 == 2) {
            // Refused while open: two live connections must never feed one client.
            EXPECT_FALSE(c->SetServer("127.0.0.1", listener.port()));
            c->Stop();
            // An abandoned generation, whose receive thread still idles until the client goes.
            ASSERT_TRUE(c->SetServer("127.0.0.1", listener.port()));
        }
    }
    for (auto& p : peers)
        EXPECT_TRUE(p->WaitClosed());
}

} // namespace
