// Tests that LZO, EncodePacket and DecodePacket agree with liblzo2 and with the packet format's rules.
#include "core/wire.h"
#include "loopback_peer.h"
#include "net/lzo_codec.h"
#include "net/packet_codec.h"
#include "net/session_messages.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> Sample(size_t n, unsigned seed, bool compressible) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = compressible ? uint8_t("orvane module "[i % 14] + (rng() % 9 == 0)) : uint8_t(rng());
    return v;
}

struct Codec : ::testing::Test {
    std::unique_ptr<CodecBuffers> buffers = std::make_unique<CodecBuffers>();
    std::vector<uint8_t> packet = std::vector<uint8_t>(kPacketAreaSize);
    IdeaKey fixedKey{}, recvKey{};
    void SetUp() override {
        SetKey(fixedKey, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
        SetKey(recvKey, "0123456789abcdef", 16);
    }
    DecodeResult Decode(const std::vector<uint8_t>& bytes) {
        return DecodePacket(bytes.data(), bytes.size(), fixedKey, recvKey, *buffers);
    }
    // A packet of any type, under the key its type calls for.
    std::vector<uint8_t> Raw(char type, const std::vector<uint8_t>& msg) {
        return testpeer::MakePacket(type, msg, type <= '4' ? fixedKey : recvKey);
    }
};

// Tests that our compressor's output round-trips through liblzo2's own safe decoder.
TEST_F(Codec, LzoOutputAcceptedByLiblzoSafeDecoder) {
    ASSERT_EQ(LZO_E_OK, lzo_init());
    for (size_t n : {size_t(1), size_t(7), size_t(100), size_t(4096), MaxEncodableMessage()}) {
        for (bool compressible : {true, false}) {
            auto in = Sample(n, unsigned(n), compressible);
            std::vector<uint8_t> packed(n + n / 16 + 67);
            size_t c = lzo_codec::Compress(in.data(), n, packed.data(), packed.size(), buffers->work);
            ASSERT_GT(c, 0u);
            std::vector<uint8_t> out(n);
            lzo_uint outLen = lzo_uint(n);
            ASSERT_EQ(LZO_E_OK, lzo1x_decompress_safe(packed.data(), c, out.data(), &outLen, nullptr));
            ASSERT_EQ(n, size_t(outLen));
            EXPECT_EQ(in, out);
            size_t ourLen = 0;
            ASSERT_TRUE(lzo_codec::Decompress(packed.data(), c, out.data(), n, ourLen));
            EXPECT_EQ(n, ourLen);
        }
    }
}

// Tests that the decoder refuses truncated streams, trailing bytes and output beyond its capacity.
TEST_F(Codec, LzoDecoderRejectsBadStreams) {
    auto in = Sample(5000, 3, true);
    std::vector<uint8_t> packed(6000);
    size_t c = lzo_codec::Compress(in.data(), in.size(), packed.data(), packed.size(), buffers->work);
    std::vector<uint8_t> out(5000);
    size_t n = 0;
    EXPECT_FALSE(lzo_codec::Decompress(packed.data(), c - 1, out.data(), out.size(), n));
    packed[c] = 0x11;
    EXPECT_FALSE(lzo_codec::Decompress(packed.data(), c + 1, out.data(), out.size(), n));
    EXPECT_FALSE(lzo_codec::Decompress(packed.data(), c, out.data(), 4999, n));
    EXPECT_TRUE(lzo_codec::Decompress(packed.data(), c, out.data(), 5000, n));
}

// Tests that the compressor refuses input whose worst case would overrun its output area.
TEST_F(Codec, CompressorRefusesWhatCouldOverflow) {
    auto in = Sample(2000, 4, false);
    std::vector<uint8_t> out(2000);
    EXPECT_EQ(0u, lzo_codec::Compress(in.data(), in.size(), out.data(), out.size(), buffers->work));
    size_t fits = lzo_codec::MaxInputFor(out.size());
    EXPECT_LE(fits + fits / 16 + 67, out.size());
    EXPECT_GT(lzo_codec::Compress(in.data(), fits, out.data(), out.size(), buffers->work), 0u);
}

// Tests that encoded packets of both sendable types decode back to the message under the right key.
TEST_F(Codec, EncodeThenDecodeTypes4And6) {
    auto msg = Sample(777, 5, true);
    size_t n = EncodePacket(msg.data(), msg.size(), '4', fixedKey, packet.data(), *buffers);
    ASSERT_GT(n, 6u);
    EXPECT_EQ('#', packet[0]);
    EXPECT_EQ('4', packet[1]);
    EXPECT_EQ(n - 6, wire::LoadU32(packet.data() + 2));
    std::vector<uint8_t> wireBytes(packet.begin(), packet.begin() + n);
    DecodeResult r = Decode(wireBytes);
    ASSERT_EQ(DecodeStatus::Message, r.status);
    EXPECT_EQ(n, r.consumed);
    EXPECT_EQ(msg, std::vector<uint8_t>(r.message, r.message + r.length));

    // Type 6 is sent under the send key and read under the receive key: the peer's pair matches.
    n = EncodePacket(msg.data(), msg.size(), '6', recvKey, packet.data(), *buffers);
    wireBytes.assign(packet.begin(), packet.begin() + n);
    r = Decode(wireBytes);
    ASSERT_EQ(DecodeStatus::Message, r.status);
    EXPECT_EQ(msg, std::vector<uint8_t>(r.message, r.message + r.length));
}

// Tests that an incompressible message is still compressed and that too-large or empty ones are refused.
TEST_F(Codec, EncodeLimits) {
    auto big = Sample(MaxEncodableMessage(), 6, false);
    size_t n = EncodePacket(big.data(), big.size(), '6', recvKey, packet.data(), *buffers);
    ASSERT_GT(n, big.size() + 6);
    EXPECT_LE(n, kPacketAreaSize);
    EXPECT_EQ(0u, EncodePacket(big.data(), big.size() + 1, '6', recvKey, packet.data(), *buffers));
    EXPECT_EQ(0u, EncodePacket(big.data(), 0, '6', recvKey, packet.data(), *buffers));
    EXPECT_EQ(0u, EncodePacket(nullptr, 10, '6', recvKey, packet.data(), *buffers));
    EXPECT_EQ(0u, EncodePacket(big.data(), 10, '1', recvKey, packet.data(), *buffers));
}

// Tests that every accepted type decodes with its own transform and key.
TEST_F(Codec, DecodeAllSixTypes) {
    auto msg = Sample(300, 8, true);
    for (char type = '1'; type <= '6'; ++type) {
        auto bytes = Raw(type, msg);
        DecodeResult r = Decode(bytes);
        ASSERT_EQ(DecodeStatus::Message, r.status) << type;
        EXPECT_EQ(bytes.size(), r.consumed);
        EXPECT_EQ(msg, std::vector<uint8_t>(r.message, r.message + r.length)) << type;
    }
}

// Tests that the largest payload a receiver accepts (131,071 bytes) is decoded.
TEST_F(Codec, DecodeLargestPayload) {
    std::vector<uint8_t> msg(kMaxPayload, 0x5A);
    auto bytes = Raw('1', msg);
    DecodeResult r = Decode(bytes);
    ASSERT_EQ(DecodeStatus::Message, r.status);
    EXPECT_EQ(kMaxPayload, r.length);
}

// Tests that a compressed payload that would decompress past 128 KiB is dropped.
TEST_F(Codec, DecodeDropsOversizedDecompression) {
    std::vector<uint8_t> huge(131073, 0);
    auto tooBig = Raw('2', huge);
    EXPECT_EQ(DecodeStatus::Drop, Decode(tooBig).status);
}

} // namespace
