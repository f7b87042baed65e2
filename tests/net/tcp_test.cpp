// Tests that TTcp connects, reads, offers and compacts its buffer, sends and closes as designed,
// with exactly one OnDisconnect per closed socket or failed attempt.
#include "loopback_peer.h"
#include "net/tcp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Offer {
    const uint8_t* data;
    int32_t len;
    std::string bytes;
};

struct Recorder : TTcp::TNotify {
    std::mutex m;
    std::condition_variable changed;
    int connects = 0;
    int disconnects = 0;
    std::vector<std::thread::id> connectThreads, disconnectThreads, receiveThreads;
    std::vector<Offer> offers;
    std::function<int32_t(const uint8_t*, int32_t)> consume = [](const uint8_t*, int32_t len) { return len; };
    bool keepBytes = true;

    void OnConnect(TTcp&) override {
        std::lock_guard<std::mutex> l(m);
        ++connects;
        connectThreads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    void OnDisconnect(TTcp&) override {
        std::lock_guard<std::mutex> l(m);
        ++disconnects;
        disconnectThreads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    int32_t OnReceive(TTcp&, const uint8_t* data, int32_t len) override {
        {
            std::lock_guard<std::mutex> l(m);
            offers.push_back(
                {data, len, keepBytes ? std::string(reinterpret_cast<const char*>(data), size_t(len)) : ""});
            receiveThreads.push_back(std::this_thread::get_id());
        }
        int32_t r = consume(data, len);
        changed.notify_all();
        return r;
    }
    // Waits (bounded) until pred holds; the bound only guards against a hang.
    bool Until(const std::function<bool()>& pred) {
        std::unique_lock<std::mutex> l(m);
        return changed.wait_for(l, 10s, pred);
    }
    int Disconnects() {
        std::lock_guard<std::mutex> l(m);
        return disconnects;
    }
};

struct TcpFixture : ::testing::Test {
    Recorder rec;
    std::unique_ptr<TTcp> tcp = std::make_unique<TTcp>();
    testpeer::Listener listener;
    void SetUp() override { tcp->notify = &rec; }
    std::unique_ptr<testpeer::Connection> ConnectAndAccept() {
        EXPECT_EQ(TTcp::kConnected, tcp->Connect("127.0.0.1", listener.port()));
        return listener.Accept();
    }
};

// Tests that a connect raises OnConnect on the caller's thread and that a second one returns 1 quietly.
TEST_F(TcpFixture, ConnectThenAlreadyOpen) {
    auto peer = ConnectAndAccept();
    ASSERT_TRUE(peer);
    EXPECT_TRUE(tcp->IsConnected());
    EXPECT_EQ(TTcp::kAlreadyOpen, tcp->Connect("127.0.0.1", listener.port()));
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ(1, rec.connects);
    EXPECT_EQ(0, rec.disconnects);
    EXPECT_EQ(std::this_thread::get_id(), rec.connectThreads.at(0));
}

// Tests that a refused port and an address that is not dotted IPv4 give 3 with one OnDisconnect each.
TEST_F(TcpFixture, FailedAttemptsReturn3WithOneDisconnect) {
    EXPECT_EQ(TTcp::kNotAccepted, tcp->Connect("127.0.0.1", testpeer::RefusedPort()));
    EXPECT_EQ(1, rec.Disconnects());
    EXPECT_EQ(TTcp::kNotAccepted, tcp->Connect("localhost", listener.port()));
    EXPECT_EQ(2, rec.Disconnects());
    EXPECT_EQ(TTcp::kNotAccepted, tcp->Connect(nullptr, listener.port()));
    EXPECT_EQ(3, rec.Disconnects());
    EXPECT_FALSE(tcp->HasSocket());
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ(0, rec.connects);
    for (auto id : rec.disconnectThreads)
        EXPECT_EQ(std::this_thread::get_id(), id);
}

// Tests that bytes a consumer leaves are offered again, followed by new ones, at the same place.
TEST_F(TcpFixture, UnconsumedBytesAreOfferedAgain) {
    int calls = 0;
    rec.consume = [&](const uint8_t*, int32_t len) { return ++calls == 1 ? 0 : len; };
    auto peer = ConnectAndAccept();
    ASSERT_TRUE(peer->Send("abc", 3));
    ASSERT_TRUE(rec.Until([&] { return rec.offers.size() == 1; }));
    ASSERT_TRUE(peer->Send("def", 3));
    ASSERT_TRUE(rec.Until([&] { return rec.offers.size() == 2; }));
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ("abc", rec.offers[0].bytes);
    EXPECT_EQ("abcdef", rec.offers[1].bytes);
    EXPECT_EQ(tcp->Buffer(), rec.offers[0].data);
    EXPECT_EQ(tcp->Buffer(), rec.offers[1].data);
}

// Tests that consuming everything resets both positions and a partial consume advances parsePos.
TEST_F(TcpFixture, PositionsFollowTheConsumer) {
    rec.consume = [](const uint8_t* data, int32_t len) { return data[0] == 'p' ? 2 : len; };
    auto peer = ConnectAndAccept();
    ASSERT_TRUE(peer->Send("pqrs", 4));
    ASSERT_TRUE(rec.Until([&] { return rec.offers.size() == 1; }));
    ASSERT_TRUE(rec.Until([&] { return tcp->FillPos() == 4; }));
    EXPECT_EQ(2, tcp->ParsePos());
    ASSERT_TRUE(peer->Send("t", 1));
    ASSERT_TRUE(rec.Until([&] { return rec.offers.size() == 2; }));
    ASSERT_TRUE(rec.Until([&] { return tcp->FillPos() == 0; }));
    EXPECT_EQ(0, tcp->ParsePos());
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ("rst", rec.offers[1].bytes);
    EXPECT_EQ(tcp->Buffer() + 2, rec.offers[1].data);
}

// Tests that once 5 MiB are consumed the rest moves to the buffer's start, and no byte is lost.
TEST_F(TcpFixture, CompactionAfterFiveMiB) {
    rec.keepBytes = false;
    std::string consumed;
    std::mutex cm;
    // Always leave the last 7 bytes, so a remainder exists when 5 MiB have gone.
    rec.consume = [&](const uint8_t* data, int32_t len) {
        int32_t take = len > 7 ? len - 7 : 0;
        std::lock_guard<std::mutex> l(cm);
        consumed.append(reinterpret_cast<const char*>(data), size_t(take));
        return take;
    };
    auto peer = ConnectAndAccept();
    const size_t first = 6 * 1024 * 1024, total = first + 123;
    std::vector<uint8_t> stream(total);
    for (size_t i = 0; i < total; ++i)
        stream[i] = uint8_t(i * 131 + (i >> 16));
    auto consumedSize = [&] {
        std::lock_guard<std::mutex> l(cm);
        return consumed.size();
    };
    // 6 MiB consumed in pieces, always 7 bytes short: the rest must move at least once, and every
    // offer must start where the rule says.
    ASSERT_TRUE(peer->Send(stream.data(), first));
    ASSERT_TRUE(rec.Until([&] { return consumedSize() == first - 7; }));
    ASSERT_TRUE(peer->Send(stream.data() + first, total - first));
    ASSERT_TRUE(rec.Until([&] { return consumedSize() == total - 7; }));
    std::lock_guard<std::mutex> l(rec.m);
    int moves = 0;
    for (size_t i = 1; i < rec.offers.size(); ++i) {
        const Offer& prev = rec.offers[i - 1];
        const uint8_t* parsed = prev.data + (prev.len - 7);
        if (parsed - tcp->Buffer() >= TTcp::kCompactAt) {
            EXPECT_EQ(tcp->Buffer(), rec.offers[i].data) << i;
            ++moves;
        } else {
            EXPECT_EQ(parsed, rec.offers[i].data) << i;
        }
        EXPECT_LE(rec.offers[i].data + rec.offers[i].len, tcp->Buffer() + TTcp::kBufferSize);
    }
    EXPECT_GE(moves, 1);
    std::lock_guard<std::mutex> l2(cm);
    EXPECT_TRUE(std::equal(consumed.begin(), consumed.end(), stream.begin(),
                           [](char a, uint8_t b) { return uint8_t(a) == b; }));
}

// Tests that a server close raises exactly one OnDisconnect, on the receive thread, and a later
// Close adds none.
TEST_F(TcpFixture, ServerCloseRaisesOneDisconnectOnReceiveThread) {
    auto peer = ConnectAndAccept();
    ASSERT_TRUE(peer->Send("x", 1));
    ASSERT_TRUE(rec.Until([&] { return rec.offers.size() == 1; }));
    peer->Close();
    ASSERT_TRUE(rec.Until([&] { return rec.disconnects == 1; }));
    EXPECT_FALSE(tcp->IsConnected());
    tcp->Close();
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ(1, rec.disconnects);
    EXPECT_EQ(rec.receiveThreads.at(0), rec.disconnectThreads.at(0));
    EXPECT_NE(std::this_thread::get_id(), rec.disconnectThreads.at(0));
}

// Tests that Close twice raises OnDisconnect once, on the calling thread, and the peer sees the close.
TEST_F(TcpFixture, CloseTwiceRaisesOnce) {
    auto peer = ConnectAndAccept();
    tcp->Close();
    tcp->Close();
    EXPECT_EQ(1, rec.Disconnects());
    EXPECT_TRUE(peer->WaitClosed());
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ(std::this_thread::get_id(), rec.disconnectThreads.at(0));
}

// Tests that a negative consumer result closes the connection from the receive thread.
TEST_F(TcpFixture, NegativeConsumerResultCloses) {
    rec.consume = [](const uint8_t*, int32_t) { return -1; };
    auto peer = ConnectAndAccept();
    ASSERT_TRUE(peer->Send("bad", 3));
    ASSERT_TRUE(rec.Until([&] { return rec.disconnects == 1; }));
    EXPECT_TRUE(peer->WaitClosed());
    EXPECT_FALSE(tcp->HasSocket());
}

// Tests that a consumer that never consumes gets the connection closed once the 10 MiB buffer is full.
TEST_F(TcpFixture, FullBufferCloses) {
    rec.keepBytes = false;
    rec.consume = [](const uint8_t*, int32_t) { return 0; };
    auto peer = ConnectAndAccept();
    std::vector<uint8_t> flood(size_t(TTcp::kBufferSize) + 4096, 0x33);
    std::thread writer([&] { peer->Send(flood.data(), flood.size()); }); // fails once the reader closes
    ASSERT_TRUE(rec.Until([&] { return rec.disconnects == 1; }));
    writer.join();
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ(TTcp::kBufferSize, rec.offers.back().len);
    EXPECT_FALSE(tcp->HasSocket());
}

// Tests that a reconnect after a close raises OnConnect again and reads on the same thread, with
// nothing of the old connection carried over.
TEST_F(TcpFixture, ReconnectReusesTheReceiveThread) {
    rec.consume = [](const uint8_t*, int32_t) { return 0; }; // keep everything
    auto first = ConnectAndAccept();
    ASSERT_TRUE(first->Send("old", 3));
    ASSERT_TRUE(rec.Until([&] { return rec.offers.size() == 1; }));
    tcp->Close();
    auto second = ConnectAndAccept();
    ASSERT_TRUE(second);
    ASSERT_TRUE(second->Send("new", 3));
    ASSERT_TRUE(rec.Until([&] { return rec.offers.size() == 2; }));
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ(2, rec.connects);
    EXPECT_EQ(1, rec.disconnects);
    EXPECT_EQ(rec.receiveThreads[0], rec.receiveThreads[1]);
    EXPECT_EQ("new", rec.offers[1].bytes);
}

// Tests that concurrent senders never interleave the bytes of two packets.
TEST_F(TcpFixture, ConcurrentSendsStayWhole) {
    auto peer = ConnectAndAccept();
    const size_t size = 3000;
    const int perThread = 100;
    auto sender = [&](uint8_t fill) {
        std::vector<uint8_t> packet(size, fill);
        for (int i = 0; i < perThread; ++i)
            tcp->Send(packet.data(), int32_t(size));
    };
    std::thread a(sender, uint8_t('A')), b(sender, uint8_t('B'));
    std::vector<uint8_t> got(size);
    int counts[2] = {0, 0};
    for (int i = 0; i < 2 * perThread; ++i) {
        ASSERT_TRUE(peer->ReadExact(got.data(), size));
        ASSERT_TRUE(got[0] == 'A' || got[0] == 'B');
        ASSERT_EQ(size_t(std::count(got.begin(), got.end(), got[0])), size) << "packet " << i;
        ++counts[got[0] - 'A'];
    }
    a.join();
    b.join();
    EXPECT_EQ(perThread, counts[0]);
    EXPECT_EQ(perThread, counts[1]);
}

// Tests that nothing is sent while not connected and destroying a connected transport is clean.
TEST_F(TcpFixture, SendWhileIdleAndDestroyWhileConnected) {
    tcp->Send(reinterpret_cast<const uint8_t*>("zz"), 2);
    EXPECT_EQ(0, rec.Disconnects());
    auto peer = ConnectAndAccept();
    tcp.reset();
    EXPECT_TRUE(peer->WaitClosed());
    EXPECT_EQ(0, rec.Disconnects());
}

} // namespace
