// Scalar IDEA rounds over little-endian 16-bit words, and the choice of the kernel that runs them.
#include "net/idea_blocks.h"
#include "net/idea_simd.h"

namespace {

// Multiplication modulo 65537, where the word 0 stands for 65536.
inline uint16_t Mul(uint16_t a, uint16_t b) {
    if (a == 0)
        return uint16_t(1 - b);
    if (b == 0)
        return uint16_t(1 - a);
    uint32_t p = uint32_t(a) * b;
    uint16_t lo = uint16_t(p);
    uint16_t hi = uint16_t(p >> 16);
    return uint16_t(lo - hi + (lo < hi ? 1 : 0));
}

inline uint16_t Word(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline void PutWord(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

} // namespace

void IdeaCryptBlocksScalar(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    for (size_t b = 0; b < blocks; ++b, in += 8, out += 8) {
        uint16_t x1 = Word(in), x2 = Word(in + 2), x3 = Word(in + 4), x4 = Word(in + 6);
        const uint16_t* z = subkeys;
        for (int round = 0; round < 8; ++round, z += 6) {
            x1 = Mul(x1, z[0]);
            x2 = uint16_t(x2 + z[1]);
            x3 = uint16_t(x3 + z[2]);
            x4 = Mul(x4, z[3]);
            uint16_t s3 = x3;
            x3 = Mul(uint16_t(x3 ^ x1), z[4]);
            uint16_t s2 = x2;
            x2 = Mul(uint16_t((x2 ^ x4) + x3), z[5]);
            x3 = uint16_t(x3 + x2);
            x1 ^= x2;
            x4 ^= x3;
            x2 ^= s3;
            x3 ^= s2;
        }
        PutWord(out, Mul(x1, z[0]));
        PutWord(out + 2, uint16_t(x3 + z[1]));
        PutWord(out + 4, uint16_t(x2 + z[2]));
        PutWord(out + 6, Mul(x4, z[3]));
    }
}

void IdeaCryptBlocks(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    // Chosen once per process: the widest vector kernel the CPU has, else the scalar rounds above.
    static const IdeaBlocksFn kernel = IdeaKernel(IdeaBestPath());
    kernel(subkeys, in, out, blocks);
}
