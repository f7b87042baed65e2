// Tests that IDEA, its little-endian word order, the key records and the block mode are right.
#include "net/idea.h"
#include "net/idea_blocks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#ifdef ORVANE_HAVE_BOTAN
#include <botan/block_cipher.h>
#endif

namespace {

std::vector<uint8_t> Words(std::initializer_list<uint16_t> words) {
    std::vector<uint8_t> out;
    for (uint16_t w : words) {
        out.push_back(uint8_t(w));
        out.push_back(uint8_t(w >> 8));
    }
    return out;
}

IdeaKey KeyFrom(const std::vector<uint8_t>& bytes) {
    IdeaKey k;
    SetKey(k, bytes.data(), unsigned(bytes.size()));
    return k;
}

// Tests that the published test vector holds with key, plaintext and ciphertext stored low byte first.
TEST(Idea, PublishedVectorLowByteFirst) {
    IdeaKey key = KeyFrom(Words({1, 2, 3, 4, 5, 6, 7, 8}));
    std::vector<uint8_t> plain = Words({0, 1, 2, 3});
    std::vector<uint8_t> expected = Words({0x11FB, 0xED2B, 0x0198, 0x6DE5});
    uint8_t out[8];
    EncryptBuffer(plain.data(), out, 8, key);
    EXPECT_EQ(0, std::memcmp(out, expected.data(), 8));
    uint8_t back[8];
    DecryptBuffer(out, back, 8, key);
    EXPECT_EQ(0, std::memcmp(back, plain.data(), 8));
}

// Tests that an all-zero key record is exactly the schedule of the all-zero key.
TEST(Idea, ZeroRecordIsTheZeroKeySchedule) {
    IdeaKey zero;
    std::memset(&zero, 0, sizeof zero);
    IdeaKey built;
    std::memset(&built, 0xAB, sizeof built);
    SetKey(built, nullptr, 0);
    EXPECT_EQ(0, std::memcmp(&zero, &built, sizeof zero));
}

// Tests that keys shorter than 16 bytes are zero-padded and longer ones are cut to 16.
TEST(Idea, KeyTextLengths) {
    IdeaKey ten;
    SetKey(ten, "0123456789", 10);
    EXPECT_EQ(0, std::memcmp(ten.key, "0123456789\0\0\0\0\0\0", 16));
    IdeaKey padded;
    SetKey(padded, "0123456789\0\0\0\0\0\0", 16);
    EXPECT_EQ(0, std::memcmp(&ten, &padded, sizeof ten));

    IdeaKey twenty;
    SetKey(twenty, "ABCDEFGHIJKLMNOPQRST", 20);
    IdeaKey sixteen;
    SetKey(sixteen, "ABCDEFGHIJKLMNOP", 16);
    EXPECT_EQ(0, std::memcmp(&twenty, &sixteen, sizeof twenty));
}

// Tests the tail rule: bytes after the last full block are XORed with the key bytes taken backwards.
TEST(Idea, TailOf7And13BytesAndNoTailFor8) {
    IdeaKey key;
    SetKey(key, "k7#Qm!2x,Wp&9;zR", 16);
    uint8_t in[13];
    for (int i = 0; i < 13; ++i)
        in[i] = uint8_t(0x30 + i);

    uint8_t out7[7];
    EncryptBuffer(in, out7, 7, key);
    for (int j = 0; j < 7; ++j)
        EXPECT_EQ(out7[j], in[j] ^ key.key[6 - j]) << j;

    uint8_t out8[8], block[8];
    EncryptBuffer(in, out8, 8, key);
    IdeaCryptBlocks(key.encrypt, in, block, 1);
    EXPECT_EQ(0, std::memcmp(out8, block, 8));

    uint8_t out13[13];
    EncryptBuffer(in, out13, 13, key);
    EXPECT_EQ(0, std::memcmp(out13, block, 8));
    for (int j = 0; j < 5; ++j)
        EXPECT_EQ(out13[8 + j], in[8 + j] ^ key.key[4 - j]) << j;

    uint8_t back[13];
    DecryptBuffer(out13, back, 13, key);
    EXPECT_EQ(0, std::memcmp(back, in, 13));
}

// Tests that every length round-trips, in place too, and that nothing past len is written.
TEST(Idea, RoundTripAllLengthsInPlace) {
    std::mt19937 rng(7);
    IdeaKey key;
    uint8_t text[16];
    for (auto& b : text)
        b = uint8_t(rng());
    SetKey(key, text, 16);
    for (int len = 0; len <= 40; ++len) {
        std::vector<uint8_t> plain(len + 1), buf(len + 1, 0xEE);
        for (auto& b : plain)
            b = uint8_t(rng());
        std::copy(plain.begin(), plain.begin() + len, buf.begin());
        EncryptBuffer(buf.data(), buf.data(), len, key);
        EXPECT_EQ(0xEE, buf[len]);
        DecryptBuffer(buf.data(), buf.data(), len, key);
        EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + len, buf.begin())) << len;
    }
}

#ifdef ORVANE_HAVE_BOTAN
void SwapPairs(uint8_t* p, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2)
        std::swap(p[i], p[i + 1]);
}

// Tests our IDEA against Botan's on random keys and blocks, with the byte pairs swapped around it.
TEST(Idea, MatchesBotanWithBytePairSwap) {
    auto botan = Botan::BlockCipher::create("IDEA");
    ASSERT_TRUE(botan);
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 200; ++trial) {
        uint8_t key[16];
        for (auto& b : key)
            b = uint8_t(rng());
        // Make the multiplication's zero and one cases show up in keys and data.
        if (trial % 5 == 0)
            std::memset(key + (trial % 8) * 2, 0, 2);
        if (trial % 7 == 0)
            key[(trial % 8) * 2] = 1, key[(trial % 8) * 2 + 1] = 0;
        IdeaKey ours;
        SetKey(ours, key, 16);
        uint8_t swappedKey[16];
        std::memcpy(swappedKey, key, 16);
        SwapPairs(swappedKey, 16);
        botan->set_key(swappedKey, 16);

        uint8_t block[64];
        for (auto& b : block)
            b = uint8_t(rng());
        if (trial % 3 == 0)
            std::memset(block, 0, 8);
        uint8_t mine[64], theirs[64];
        IdeaCryptBlocks(ours.encrypt, block, mine, 8);
        std::memcpy(theirs, block, 64);
        SwapPairs(theirs, 64);
        botan->encrypt_n(theirs, theirs, 8);
        SwapPairs(theirs, 64);
        ASSERT_EQ(0, std::memcmp(mine, theirs, 64)) << "encrypt, trial " << trial;

        IdeaCryptBlocks(ours.decrypt, block, mine, 8);
        std::memcpy(theirs, block, 64);
        SwapPairs(theirs, 64);
        botan->decrypt_n(theirs, theirs, 8);
        SwapPairs(theirs, 64);
        ASSERT_EQ(0, std::memcmp(mine, theirs, 64)) << "decrypt, trial " << trial;
    }
}
#endif

} // namespace
