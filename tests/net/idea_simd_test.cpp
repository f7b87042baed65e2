// Differential tests of the vectorised IDEA kernels against the scalar rounds.
#include "net/idea.h"
#include "net/idea_blocks.h"
#include "net/idea_simd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Path {
    IdeaPath path;
    IdeaBlocksFn fn;
};

// Every vector path this CPU can run; the scalar rounds are the reference, not a candidate.
std::vector<Path> VectorPaths() {
    std::vector<Path> paths;
    for (IdeaPath p : {IdeaPath::Sse2, IdeaPath::Avx2, IdeaPath::Avx512})
        if (IdeaPathSupported(p))
            paths.push_back({p, IdeaKernel(p)});
    return paths;
}

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

std::vector<uint8_t> Reference(const uint16_t* subkeys, const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out(in.size());
    IdeaCryptBlocksScalar(subkeys, in.data(), out.data(), in.size() / 8);
    return out;
}

// The published vector: key words 1..8, plaintext 0 1 2 3, ciphertext 11FB ED2B 0198 6DE5, each word
// stored low byte first.
const uint8_t kVectorKey[16] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0};
const uint8_t kVectorPlain[8] = {0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};
const uint8_t kVectorCipher[8] = {0xFB, 0x11, 0x2B, 0xED, 0x98, 0x01, 0xE5, 0x6D};

} // namespace

// Tests that the published IDEA vector holds on every path, alone and at every position of a long buffer.
TEST(IdeaSimd, PublishedVectorOnEveryPath) {
    IdeaKey key;
    SetKey(key, kVectorKey, 16);
    std::vector<Path> paths = VectorPaths();
    paths.push_back({IdeaPath::Scalar, IdeaKernel(IdeaPath::Scalar)});
    for (const Path& p : paths) {
        SCOPED_TRACE(IdeaPathName(p.path));
        uint8_t block[8];
        p.fn(key.encrypt, kVectorPlain, block, 1);
        EXPECT_EQ(0, std::memcmp(block, kVectorCipher, 8));
        p.fn(key.decrypt, block, block, 1);
        EXPECT_EQ(0, std::memcmp(block, kVectorPlain, 8));

        const size_t blocks = 64 * 3 + 5;
        std::vector<uint8_t> buf(blocks * 8);
        for (size_t i = 0; i < blocks; ++i)
            std::memcpy(&buf[i * 8], kVectorPlain, 8);
        p.fn(key.encrypt, buf.data(), buf.data(), blocks);
        for (size_t i = 0; i < blocks; ++i)
            ASSERT_EQ(0, std::memcmp(&buf[i * 8], kVectorCipher, 8)) << "block " << i;
    }
}

// Tests that the CPU check picks a supported path and IdeaCryptBlocks then gives the scalar result.
TEST(IdeaSimd, DispatchChoosesASupportedPath) {
    IdeaPath best = IdeaBestPath();
    EXPECT_TRUE(IdeaPathSupported(best));
    EXPECT_TRUE(IdeaPathSupported(IdeaPath::Scalar));
#if defined(__x86_64__)
    EXPECT_TRUE(IdeaPathSupported(IdeaPath::Sse2));
    EXPECT_NE(IdeaPath::Scalar, best);
#endif
    std::printf("IDEA path in use: %s; vector paths tested:", IdeaPathName(best));
    for (const Path& p : VectorPaths())
        std::printf(" %s", IdeaPathName(p.path));
    std::printf("\n");

    std::mt19937 rng(7);
    IdeaKey key;
    std::vector<uint8_t> raw = RandomBytes(rng, 16);
    SetKey(key, raw.data(), 16);
    std::vector<uint8_t> in = RandomBytes(rng, 8 * 1000);
    std::vector<uint8_t> out(in.size());
    IdeaCryptBlocks(key.encrypt, in.data(), out.data(), 1000);
    EXPECT_EQ(Reference(key.encrypt, in), out);
}

// Tests that each vector path matches the scalar rounds at every length 0..4096 and alignment, in place too.
TEST(IdeaSimd, MatchesScalarAtEveryLengthAndAlignment) {
    // Only whole blocks are written: the tail and the guard bytes around the output stay as they were, and
    // the input is left alone.
    constexpr size_t kMax = 4096, kAlign = 64, kGuard = 64;
    std::mt19937 rng(2024);
    // A pool of schedules, encryption and decryption, including the all-zero key used before the session
    // keys arrive (every subkey 0).
    std::vector<IdeaKey> keys(5);
    std::memset(&keys[0], 0, sizeof(IdeaKey));
    for (size_t i = 1; i < keys.size(); ++i) {
        std::vector<uint8_t> raw = RandomBytes(rng, 16);
        SetKey(keys[i], raw.data(), 16);
    }
    std::vector<const uint16_t*> schedules;
    for (const IdeaKey& k : keys) {
        schedules.push_back(k.encrypt);
        schedules.push_back(k.decrypt);
    }
    const std::vector<uint8_t> plain = RandomBytes(rng, kMax);
    std::vector<std::vector<uint8_t>> expected;
    for (const uint16_t* s : schedules)
        expected.push_back(Reference(s, plain));

    std::vector<uint8_t> inBuf(kAlign + kMax + kGuard), outBuf(kGuard + kAlign + kMax + kGuard);
    const std::vector<uint8_t> untouched(outBuf.size(), 0xA5);
    for (const Path& p : VectorPaths()) {
        SCOPED_TRACE(IdeaPathName(p.path));
        int failures = 0;
        for (size_t len = 0; len <= kMax && failures < 5; ++len) {
            const size_t which = len % schedules.size();
            const uint16_t* subkeys = schedules[which];
            const size_t body = len / 8 * 8;
            for (size_t a = 0; a < kAlign && failures < 5; ++a) {
                const size_t outAlign = (a * 37 + 11) % kAlign;
                std::memcpy(&inBuf[a], plain.data(), len);
                std::memset(outBuf.data(), 0xA5, outBuf.size());
                uint8_t* out = &outBuf[kGuard + outAlign];
                p.fn(subkeys, &inBuf[a], out, len / 8);
                bool ok = std::memcmp(out, expected[which].data(), body) == 0;
                ok = ok && std::memcmp(&inBuf[a], plain.data(), len) == 0;
                const size_t before = size_t(out - outBuf.data()), after = outBuf.size() - before - body;
                ok = ok && std::memcmp(outBuf.data(), untouched.data(), before) == 0 &&
                     std::memcmp(out + body, untouched.data(), after) == 0;
                // In place: the output must replace the blocks and leave the tail as it was.
                if (ok && a % 8 == 0) {
                    p.fn(subkeys, &inBuf[a], &inBuf[a], len / 8);
                    ok = std::memcmp(&inBuf[a], expected[which].data(), body) == 0 &&
                         std::memcmp(&inBuf[a + body], plain.data() + body, len - body) == 0;
                }
                if (!ok) {
                    ++failures;
                    ADD_FAILURE() << "length " << len << " input alignment " << a << " output alignment "
                                  << outAlign << " schedule " << which;
                }
            }
        }
    }
}

// Tests that multiplication mod 65537 is exact in every lane, for every word and special subkey.
TEST(IdeaSimd, MultiplicationIsExactForEveryWordAndSpecialSubkey) {
    // Schedules whose subkeys are all 0 (65536), 1, 2, 0x8000 or 0xFFFF, and a mix with zeros among random
    // ones.
    std::mt19937 rng(99);
    std::vector<std::vector<uint16_t>> schedules;
    for (uint16_t v : {0x0000, 0x0001, 0x0002, 0x8000, 0xFFFF})
        schedules.push_back(std::vector<uint16_t>(52, v));
    std::vector<uint16_t> mixed(52);
    for (size_t i = 0; i < mixed.size(); ++i)
        mixed[i] = i % 5 == 0 ? 0 : uint16_t(rng());
    schedules.push_back(mixed);

    // Block i: word 0 = i, word 1 = a rotation of i, word 2 = its complement, word 3 = a multiple of i
    // (odd, so it too takes every value). Offsets by 1..63 blocks shift every value through every lane.
    const size_t blocks = 65536 + 63;
    std::vector<uint8_t> in(blocks * 8);
    for (size_t i = 0; i < blocks; ++i) {
        const uint16_t w = uint16_t(i);
        const uint16_t words[4] = {w, uint16_t(w << 3 | w >> 13), uint16_t(~w), uint16_t(w * 40503u)};
        for (int j = 0; j < 4; ++j) {
            in[i * 8 + j * 2] = uint8_t(words[j]);
            in[i * 8 + j * 2 + 1] = uint8_t(words[j] >> 8);
        }
    }
    for (const Path& p : VectorPaths()) {
        SCOPED_TRACE(IdeaPathName(p.path));
        for (size_t s = 0; s < schedules.size(); ++s) {
            std::vector<uint8_t> expected = Reference(schedules[s].data(), in);
            std::vector<uint8_t> out(in.size());
            // Shift the starting lane so that each value meets every lane of the widest register.
            for (size_t shift : {size_t(0), size_t(1), size_t(13), size_t(31), size_t(63)}) {
                p.fn(schedules[s].data(), in.data() + shift * 8, out.data(), blocks - shift);
                ASSERT_EQ(0, std::memcmp(out.data(), expected.data() + shift * 8, (blocks - shift) * 8))
                    << "schedule " << s << " shift " << shift;
            }
        }
    }
}

// Tests that EncryptBuffer/DecryptBuffer on the chosen path round-trip and match the scalar blocks.
TEST(IdeaSimd, BufferModeRoundTripsOnTheChosenPath) {
    std::mt19937 rng(5);
    IdeaKey key;
    std::vector<uint8_t> raw = RandomBytes(rng, 16);
    SetKey(key, raw.data(), 16);
    const std::vector<uint8_t> plain = RandomBytes(rng, 4096);
    const std::vector<uint8_t> expected = Reference(key.encrypt, plain);
    std::vector<uint8_t> enc(4096), dec(4096);
    for (int32_t len = 0; len <= 4096; ++len) {
        const size_t body = size_t(len) / 8 * 8;
        EncryptBuffer(plain.data(), enc.data(), len, key);
        DecryptBuffer(enc.data(), dec.data(), len, key);
        ASSERT_EQ(0, std::memcmp(enc.data(), expected.data(), body)) << "length " << len;
        ASSERT_EQ(0, std::memcmp(dec.data(), plain.data(), size_t(len))) << "length " << len;
    }
}
