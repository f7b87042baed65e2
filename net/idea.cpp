// IDEA key schedules and the block mode around IdeaCryptBlocks.
#include "net/idea.h"

#include "net/idea_blocks.h"

#include <cstring>

namespace {

// Multiplicative inverse modulo 65537; 0 (standing for 65536) and 1 are their own inverses.
uint16_t MulInverse(uint16_t x) {
    if (x <= 1)
        return x;
    // x^(65537-2) mod 65537 by square and multiply: 65537 is prime.
    uint64_t result = 1, base = x;
    for (uint32_t e = 65535; e != 0; e >>= 1) {
        if (e & 1)
            result = result * base % 65537;
        base = base * base % 65537;
    }
    return uint16_t(result);
}

void ExpandEncrypt(const uint8_t key[16], uint16_t ek[52]) {
    // The 128-bit key as a big number whose most significant word is key word 0.
    uint64_t hi = 0, lo = 0;
    for (int i = 0; i < 4; ++i)
        hi = (hi << 16) | uint16_t(key[2 * i] | (key[2 * i + 1] << 8));
    for (int i = 4; i < 8; ++i)
        lo = (lo << 16) | uint16_t(key[2 * i] | (key[2 * i + 1] << 8));
    for (int n = 0; n < 52;) {
        for (int w = 0; w < 8 && n < 52; ++w, ++n)
            ek[n] = uint16_t(w < 4 ? hi >> (48 - 16 * w) : lo >> (48 - 16 * (w - 4)));
        // Rotate the 128 bits left by 25 for the next group of eight.
        uint64_t newHi = (hi << 25) | (lo >> 39);
        uint64_t newLo = (lo << 25) | (hi >> 39);
        hi = newHi;
        lo = newLo;
    }
}

void InvertSchedule(const uint16_t ek[52], uint16_t dk[52]) {
    // Round r of decryption uses the inverted output-side keys of encryption round 8 - r; the two
    // additive keys swap places in every round except the first and the last.
    for (int r = 0; r <= 8; ++r) {
        const uint16_t* e = ek + 6 * (8 - r);
        uint16_t* d = dk + 6 * r;
        bool outer = r == 0 || r == 8;
        d[0] = MulInverse(e[0]);
        d[1] = uint16_t(-(outer ? e[1] : e[2]));
        d[2] = uint16_t(-(outer ? e[2] : e[1]));
        d[3] = MulInverse(e[3]);
        if (r < 8) {
            d[4] = ek[6 * (7 - r) + 4];
            d[5] = ek[6 * (7 - r) + 5];
        }
    }
}

void TailXor(const uint8_t* in, uint8_t* out, int32_t len, const IdeaKey& rec) {
    int32_t full = len & ~7;
    int32_t t = len - full;
    for (int32_t j = 0; j < t; ++j)
        out[full + j] = uint8_t(in[full + j] ^ rec.key[t - 1 - j]);
}

} // namespace

void SetKey(IdeaKey& rec, const void* text, unsigned len) {
    if (text == nullptr)
        len = 0;
    unsigned n = len < 16 ? len : 16;
    std::memset(rec.key, 0, sizeof rec.key);
    if (n != 0)
        std::memcpy(rec.key, text, n);
    ExpandEncrypt(rec.key, rec.encrypt);
    InvertSchedule(rec.encrypt, rec.decrypt);
}

void EncryptBuffer(const uint8_t* in, uint8_t* out, int32_t len, const IdeaKey& rec) {
    if (len <= 0)
        return;
    IdeaCryptBlocks(rec.encrypt, in, out, size_t(len) / 8);
    TailXor(in, out, len, rec);
}

void DecryptBuffer(const uint8_t* in, uint8_t* out, int32_t len, const IdeaKey& rec) {
    if (len <= 0)
        return;
    IdeaCryptBlocks(rec.decrypt, in, out, size_t(len) / 8);
    TailXor(in, out, len, rec);
}
