// Tests that ParsePackets splits a byte stream into messages with the right count to drop, whatever
// the pieces the stream arrives in.
#include "core/wire.h"
#include "loopback_peer.h"
#include "net/packet_codec.h"
#include "net/packet_io.h"
#include "net/protocol_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Sink : MessageSink {
    std::vector<Bytes> messages;
    ProtocolContext* installKeysOn = nullptr; // when set, a message "KEYS" installs session keys
    void HandleMessage(const uint8_t* msg, size_t len) override {
        messages.emplace_back(msg, msg + len);
        if (installKeysOn != nullptr && len == 4 && std::memcmp(msg, "KEYS", 4) == 0)
            installKeysOn->InstallSessionKeys("send-key-0000000", "recv-key-1111111");
    }
};

Bytes Msg(size_t n, uint8_t seed) {
    Bytes m(n);
    for (size_t i = 0; i < n; ++i)
        m[i] = uint8_t(seed + i * 7 + (i % 13 == 0 ? i : 0));
    return m;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Parse : ::testing::Test {
    ProtocolContext ctx;
    std::unique_ptr<CodecBuffers> buffers = std::make_unique<CodecBuffers>();
    Sink sink;
    size_t Run(const Bytes& data) { return ParsePackets(ctx, *buffers, sink, data.data(), data.size()); }
    Bytes Fixed(char type, const Bytes& m) { return testpeer::MakePacket(type, m, ctx.fixedKey); }
};

// Tests that fewer than 6 bytes consume nothing.
TEST_F(Parse, FewerThanSixBytes) {
    Bytes p = Fixed('1', Msg(10, 1));
    for (size_t n = 0; n < 6; ++n) {
        EXPECT_EQ(0u, Run(Bytes(p.begin(), p.begin() + n)));
    }
    EXPECT_TRUE(sink.messages.empty());
}

// Tests that a partial payload waits and the completed packet is then decoded.
TEST_F(Parse, PartialPayloadWaits) {
    Bytes m = Msg(100, 2);
    Bytes p = Fixed('1', m);
    EXPECT_EQ(0u, Run(Bytes(p.begin(), p.begin() + 56)));
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(p.size(), Run(p));
    ASSERT_EQ(1u, sink.messages.size());
    EXPECT_EQ(m, sink.messages[0]);
}

// Tests that two packets and 3 bytes of a third deliver two messages and stop at the third.
TEST_F(Parse, TwoPacketsAndPartOfAThird) {
    Bytes a = Fixed('4', Msg(200, 3)), b = Fixed('3', Msg(90, 4)), c = Fixed('1', Msg(20, 5));
    Bytes data = Cat({a, b, Bytes(c.begin(), c.begin() + 3)});
    EXPECT_EQ(a.size() + b.size(), Run(data));
    ASSERT_EQ(2u, sink.messages.size());
    EXPECT_EQ(Msg(200, 3), sink.messages[0]);
    EXPECT_EQ(Msg(90, 4), sink.messages[1]);
}

// Tests that a bad magic drops everything, also after good packets that are still delivered.
TEST_F(Parse, BadMagicDropsAll) {
    Bytes good = Fixed('1', Msg(30, 6));
    Bytes bad = good;
    bad[0] = 'X';
    EXPECT_EQ(bad.size(), Run(bad));
    EXPECT_TRUE(sink.messages.empty());
    Bytes data = Cat({good, bad, good});
    EXPECT_EQ(data.size(), Run(data));
    EXPECT_EQ(1u, sink.messages.size());
}

// Tests that lengths 0 and 131,072 drop everything, even before the payload arrives.
TEST_F(Parse, BadLengthsDropAll) {
    for (uint32_t l : {0u, 131072u, 0xFFFFFFFFu}) {
        Bytes h = {'#', '1', 0, 0, 0, 0, 'a', 'b'};
        wire::StoreU32(h.data() + 2, l);
        EXPECT_EQ(h.size(), Run(h)) << l;
    }
    EXPECT_TRUE(sink.messages.empty());
}

// Tests that a bad type is only acted on once its packet is complete.
TEST_F(Parse, BadTypeOnlyOnceComplete) {
    Bytes good = Fixed('1', Msg(40, 7));
    Bytes bad = Fixed('1', Msg(40, 8));
    bad[1] = '9';
    Bytes partial = Cat({good, Bytes(bad.begin(), bad.end() - 1)});
    EXPECT_EQ(good.size(), Run(partial));
    EXPECT_EQ(1u, sink.messages.size());
    Bytes whole = Cat({good, bad});
    EXPECT_EQ(whole.size(), Run(whole));
    EXPECT_EQ(2u, sink.messages.size()); // the good one again, as the caller offered it again
}

// Tests that a payload that does not decompress drops everything.
TEST_F(Parse, UndecompressablePayloadDropsAll) {
    Bytes p = Fixed('2', Msg(500, 9));
    p[p.size() - 1] ^= 0x5A;
    p[7] ^= 0x21;
    Bytes data = Cat({p, Fixed('1', Msg(10, 1))});
    EXPECT_EQ(data.size(), Run(data));
    EXPECT_TRUE(sink.messages.empty());
}

// Tests that types '5' and '6' decode under the all-zero key before any session key is installed.
TEST_F(Parse, SessionTypesBeforeAuthenticationUseTheZeroKey) {
    IdeaKey zero;
    std::memset(&zero, 0, sizeof zero);
    Bytes data =
        Cat({testpeer::MakePacket('5', Msg(33, 1), zero), testpeer::MakePacket('6', Msg(99, 2), zero)});
    EXPECT_EQ(data.size(), Run(data));
    ASSERT_EQ(2u, sink.messages.size());
    EXPECT_EQ(Msg(33, 1), sink.messages[0]);
    EXPECT_EQ(Msg(99, 2), sink.messages[1]);
}

// Tests that a key installed by one message applies to the next packet of the same buffer.
TEST_F(Parse, KeyInstalledMidBufferAppliesToTheNextPacket) {
    sink.installKeysOn = &ctx;
    IdeaKey recv;
    SetKey(recv, "recv-key-1111111", 16);
    Bytes data = Cat({Fixed('4', Bytes{'K', 'E', 'Y', 'S'}), testpeer::MakePacket('6', Msg(300, 3), recv)});
    EXPECT_EQ(data.size(), Run(data));
    ASSERT_EQ(2u, sink.messages.size());
    EXPECT_EQ(Msg(300, 3), sink.messages[1]);
}

// Tests that the stream decodes the same when it arrives one byte at a time or in odd pieces,
// driven the way the transport drives the parser (unconsumed bytes are offered again).
TEST_F(Parse, StreamInAnyPieces) {
    std::vector<Bytes> expected;
    Bytes stream;
    for (int i = 0; i < 12; ++i) {
        Bytes m = Msg(size_t(1 + i * 97), uint8_t(i));
        expected.push_back(m);
        char type = char('1' + i % 4); // types 1..4: all keys known to both ends
        Bytes p = Fixed(type, m);
        stream.insert(stream.end(), p.begin(), p.end());
    }
    for (size_t piece : {size_t(1), size_t(5), size_t(6), size_t(7), size_t(113), size_t(4096)}) {
        sink.messages.clear();
        Bytes pending;
        for (size_t at = 0; at < stream.size(); at += piece) {
            size_t n = std::min(piece, stream.size() - at);
            pending.insert(pending.end(), stream.begin() + at, stream.begin() + at + n);
            size_t used = Run(pending);
            ASSERT_LE(used, pending.size());
            pending.erase(pending.begin(), pending.begin() + used);
        }
        EXPECT_TRUE(pending.empty()) << piece;
        EXPECT_EQ(expected, sink.messages) << piece;
    }
}

} // namespace
