// Tests that our LZO1X decoder accepts exactly what liblzo2's safe decoder accepts, with the same output.
#include "net/lzo_codec.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Data shapes that reach every kind of copy: runs (distance 1), short repeating patterns (overlapping
// copies at distances 2..15), far repeats (the long-distance codes), binary-like words, noise.
Bytes Shaped(int shape, size_t n, std::mt19937& rng) {
    Bytes v;
    v.reserve(n + 64);
    while (v.size() < n) {
        switch (shape) {
        case 0: // runs of one byte, of every length
            v.insert(v.end(), 1 + rng() % 300, uint8_t(rng() % 4));
            break;
        case 1: { // a short pattern repeated
            Bytes p(1 + rng() % 15);
            for (auto& b : p)
                b = uint8_t(rng());
            for (size_t k = rng() % 40; k > 0; --k)
                v.insert(v.end(), p.begin(), p.end());
            v.push_back(uint8_t(rng()));
            break;
        }
        case 2: // a stretch copied from far back, between fresh bytes
            if (v.size() > 20000 && rng() % 2) {
                size_t from = rng() % (v.size() - 300), len = 3 + rng() % 280;
                Bytes piece(v.begin() + long(from), v.begin() + long(from + len));
                v.insert(v.end(), piece.begin(), piece.end());
            } else {
                for (size_t k = 1 + rng() % 40; k > 0; --k)
                    v.push_back(uint8_t(rng()));
            }
            break;
        case 3: { // words from a small vocabulary with some noise, like machine code
            static const char* words[] = {"\x48\x89\xe5",     "\x0f\x1f\x44\x00\x00", "\xe8",    "\xc3",
                                          "\x48\x8b\x45\xf8", "\x00\x00\x00",         "\xff\xff"};
            const char* w = words[rng() % 7];
            v.insert(v.end(), w, w + std::char_traits<char>::length(w) + (w[0] == 0 ? 3 : 0));
            if (rng() % 5 == 0)
                v.push_back(uint8_t(rng()));
            break;
        }
        default:
            v.push_back(uint8_t(rng()));
        }
    }
    v.resize(n);
    return v;
}

// The stream liblzo2 makes of in: LZO1X-1, or LZO1X-999, whose denser coding uses more of the format.
Bytes Pack(const Bytes& in, bool best) {
    static Bytes work(LZO1X_999_MEM_COMPRESS);
    Bytes out(in.size() + in.size() / 16 + 67);
    lzo_uint n = 0;
    int rc = best ? lzo1x_999_compress(in.data(), in.size(), out.data(), &n, work.data())
                  : lzo1x_1_compress(in.data(), in.size(), out.data(), &n, work.data());
    EXPECT_EQ(LZO_E_OK, rc);
    out.resize(n);
    return out;
}

struct Outcome {
    bool ok;
    Bytes out;
    bool operator==(const Outcome& o) const { return ok == o.ok && (!ok || out == o.out); }
};

Outcome Ours(const Bytes& stream, size_t capacity) {
    Bytes out(capacity + 1, 0xA5);
    size_t n = 0;
    bool ok = lzo_codec::Decompress(stream.data(), stream.size(), out.data(), capacity, n);
    EXPECT_EQ(0xA5, out[capacity]) << "wrote past the capacity";
    if (!ok) {
        EXPECT_EQ(0u, n);
    }
    out.resize(ok ? n : 0);
    return {ok, out};
}

Outcome Theirs(const Bytes& stream, size_t capacity) {
    Bytes out(capacity);
    lzo_uint n = capacity;
    bool ok = !stream.empty() &&
              lzo1x_decompress_safe(stream.data(), stream.size(), out.data(), &n, nullptr) == LZO_E_OK;
    out.resize(ok ? n : 0);
    return {ok, out};
}

struct LzoDecoder : ::testing::Test {
    void SetUp() override { ASSERT_EQ(LZO_E_OK, lzo_init()); }
};

// Tests that valid streams of every shape and many sizes decode to the original, need exactly their
// length of output room, and that one byte less is refused without writing past it.
TEST_F(LzoDecoder, DecodesLiblzoStreamsExactly) {
    std::mt19937 rng(11);
    for (int shape = 0; shape <= 4; ++shape) {
        for (size_t n : {1, 2, 3, 4, 5, 17, 18, 31, 64, 255, 1000, 4096, 49151, 131072}) {
            for (bool best : {false, true}) {
                if (best && n > 49151)
                    continue; // the dense compressor is slow; the shapes repeat within this size
                Bytes in = Shaped(shape, n, rng);
                Bytes stream = Pack(in, best);
                Outcome exact = Ours(stream, n);
                ASSERT_TRUE(exact.ok) << "shape " << shape << " size " << n << " best " << best;
                ASSERT_EQ(in, exact.out) << "shape " << shape << " size " << n << " best " << best;
                EXPECT_EQ(exact, Ours(stream, n + 100));
                EXPECT_FALSE(Ours(stream, n - 1).ok) << "shape " << shape << " size " << n;
            }
        }
    }
}

// Tests that damaged streams (a byte changed, cut short, extended) get the same verdict and output from
// both decoders, so that the receive path accepts nothing the reference would refuse.
TEST_F(LzoDecoder, AgreesWithLiblzoOnDamagedStreams) {
    std::mt19937 rng(12);
    size_t refused = 0, trials = 0;
    for (int shape = 0; shape <= 4; ++shape) {
        for (bool best : {false, true}) {
            Bytes in = Shaped(shape, 3000 + rng() % 3000, rng);
            Bytes stream = Pack(in, best);
            for (int k = 0; k < 1500; ++k) {
                Bytes bad = stream;
                switch (k % 3) {
                case 0:
                    bad[rng() % bad.size()] = uint8_t(rng());
                    if (k % 2)
                        bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
                    break;
                case 1:
                    bad.resize(rng() % bad.size());
                    break;
                default:
                    bad.insert(bad.begin() + long(rng() % bad.size()), uint8_t(rng()));
                }
                size_t capacity = in.size() + (rng() % 2 ? 0 : rng() % 64);
                Outcome theirs = Theirs(bad, capacity);
                ASSERT_EQ(theirs, Ours(bad, capacity)) << "shape " << shape << " trial " << k;
                refused += !theirs.ok;
                ++trials;
            }
        }
    }
    // Damage must mostly be refused, or the comparison above proved little.
    EXPECT_GT(refused, trials / 2);
}

// Tests the format's edges by hand: empty input, a stream that is only the end marker, bytes after the
// end marker, a match reaching before the start, what a small code means after an opening literal run,
// and a long literal run given by zero bytes.
TEST_F(LzoDecoder, RefusesMalformedEdges) {
    const Bytes endOnly{0x11, 0x00, 0x00};
    EXPECT_FALSE(Ours({}, 16).ok);
    EXPECT_EQ((Outcome{true, {}}), Ours(endOnly, 16));
    EXPECT_EQ(Theirs(endOnly, 16), Ours(endOnly, 16));
    EXPECT_FALSE(Ours({0x11, 0x00, 0x00, 0x00}, 16).ok);
    EXPECT_FALSE(Ours({0x11, 0x00}, 16).ok);

    // One literal 'x', then a two-byte match at distance 2: nothing before the start to copy from.
    const Bytes behind{18, 'x', 0x04, 0x00, 0x11, 0x00, 0x00};
    EXPECT_FALSE(Ours(behind, 16).ok);
    EXPECT_EQ(Theirs(behind, 16), Ours(behind, 16));

    // An opening run of three literals makes the next small code a two-byte match one back ("abccc");
    // after an opening run of four it would be a far three-byte match, here reaching before the start.
    const Bytes fewThenNear{20, 'a', 'b', 'c', 0x00, 0x00, 0x11, 0x00, 0x00};
    EXPECT_EQ((Outcome{true, {'a', 'b', 'c', 'c', 'c'}}), Ours(fewThenNear, 16));
    const Bytes fourThenFar{21, 'a', 'b', 'c', 'd', 0x00, 0x00, 0x11, 0x00, 0x00};
    EXPECT_FALSE(Ours(fourThenFar, 16).ok);
    EXPECT_EQ(Theirs(fourThenFar, 16), Ours(fourThenFar, 16));
    EXPECT_EQ(Theirs(fewThenNear, 16), Ours(fewThenNear, 16));

    // A literal run of 3 + 15 + 255 + 2 = 275 bytes spelled with one zero continuation byte.
    Bytes longRun{0x00, 0x00, 0x02};
    for (int i = 0; i < 275; ++i)
        longRun.push_back(uint8_t(i));
    longRun.insert(longRun.end(), endOnly.begin(), endOnly.end());
    Outcome o = Ours(longRun, 275);
    ASSERT_TRUE(o.ok);
    ASSERT_EQ(275u, o.out.size());
    EXPECT_EQ(uint8_t(274), o.out[274]);
    EXPECT_EQ(Theirs(longRun, 275), o);
    EXPECT_FALSE(Ours(longRun, 274).ok);
}

} // namespace
