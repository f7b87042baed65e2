// The body shared by the vectorised IDEA kernels. Included only by idea_simd_<isa>.cpp, each built for
// its own instruction set, with an Ops type that wraps that set's intrinsics. Everything here has
// internal linkage (the Ops types live in anonymous namespaces), so no copy built with wider
// instructions can be picked by the linker for a caller on a CPU without them.
//
// Layout: one register holds the same word of Ops::kLanes blocks. Four loads of 2 blocks per 128-bit
// lane are transposed into words 0..3 with in-lane unpacks, which every width has; the inverse
// unpacks put each block back where it came from, so the lane order in between does not matter.
//
// Ops::Mul<kZeroKeys>(a, key) is a * key modulo 65537 with 0 standing for 65536, exact in every lane.
// For nonzero factors the 32-bit product is hi * 65536 + lo = hi * 65537 + (lo - hi), so the residue is
// lo - hi, plus 65537 when lo < hi; lo == hi cannot happen (65537 is prime and both factors are below
// it), and a residue of 65536 comes out as the word 0 by itself. When a factor is 0 both halves are 0,
// the sum above is 1, and the true result 65536 * x = -x is 1 - a - key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace idea_simd {

template <class Ops> struct Set { typename Ops::Reg x[4]; };

template <class Ops> inline void LoadSet(Set<Ops>& s, const uint8_t* in) {
    using R = typename Ops::Reg;
    R r0 = Ops::Load(in), r1 = Ops::Load(in + sizeof(R));
    R r2 = Ops::Load(in + 2 * sizeof(R)), r3 = Ops::Load(in + 3 * sizeof(R));
    R t0 = Ops::Unpack16Lo(r0, r1), t1 = Ops::Unpack16Hi(r0, r1);
    R t2 = Ops::Unpack16Lo(r2, r3), t3 = Ops::Unpack16Hi(r2, r3);
    R u0 = Ops::Unpack16Lo(t0, t1), u1 = Ops::Unpack16Hi(t0, t1);
    R u2 = Ops::Unpack16Lo(t2, t3), u3 = Ops::Unpack16Hi(t2, t3);
    s.x[0] = Ops::Unpack64Lo(u0, u2);
    s.x[1] = Ops::Unpack64Hi(u0, u2);
    s.x[2] = Ops::Unpack64Lo(u1, u3);
    s.x[3] = Ops::Unpack64Hi(u1, u3);
}

template <class Ops> inline void StoreSet(const Set<Ops>& s, uint8_t* out) {
    using R = typename Ops::Reg;
    R v0 = Ops::Unpack16Lo(s.x[0], s.x[1]), v1 = Ops::Unpack16Hi(s.x[0], s.x[1]);
    R v2 = Ops::Unpack16Lo(s.x[2], s.x[3]), v3 = Ops::Unpack16Hi(s.x[2], s.x[3]);
    Ops::Store(out, Ops::Unpack32Lo(v0, v2));
    Ops::Store(out + sizeof(R), Ops::Unpack32Hi(v0, v2));
    Ops::Store(out + 2 * sizeof(R), Ops::Unpack32Lo(v1, v3));
    Ops::Store(out + 3 * sizeof(R), Ops::Unpack32Hi(v1, v3));
}

// kSets independent sets per step: the multiplications of one round form a chain, and interleaving
// sets keeps the multipliers busy. kZeroKeys: some subkey is 0 (it stands for 65536) and needs the
// slower multiplication; ordinary keys rarely have one, but the all-zero key is used before the
// session keys arrive.
template <class Ops, int kSets, bool kZeroKeys>
inline void CryptSets(const typename Ops::Key* k, const uint8_t* in, uint8_t* out) {
    constexpr size_t kSetBytes = 4 * sizeof(typename Ops::Reg);
    Set<Ops> s[kSets];
    for (int i = 0; i < kSets; ++i)
        LoadSet(s[i], in + i * kSetBytes);
    for (int round = 0; round < 8; ++round, k += 6) {
        for (int i = 0; i < kSets; ++i) {
            auto& x = s[i].x;
            auto a = Ops::template Mul<kZeroKeys>(x[0], k[0]);
            auto b = Ops::Add(x[1], k[1].value);
            auto c = Ops::Add(x[2], k[2].value);
            auto d = Ops::template Mul<kZeroKeys>(x[3], k[3]);
            auto e = Ops::template Mul<kZeroKeys>(Ops::Xor(a, c), k[4]);
            auto f = Ops::template Mul<kZeroKeys>(Ops::Add(Ops::Xor(b, d), e), k[5]);
            e = Ops::Add(e, f);
            // The inner two words swap places after every round.
            x[0] = Ops::Xor(a, f);
            x[1] = Ops::Xor(c, f);
            x[2] = Ops::Xor(b, e);
            x[3] = Ops::Xor(d, e);
        }
    }
    for (int i = 0; i < kSets; ++i) {
        auto& x = s[i].x;
        // The output transformation undoes the last round's swap.
        auto y1 = Ops::Add(x[2], k[1].value);
        auto y2 = Ops::Add(x[1], k[2].value);
        x[0] = Ops::template Mul<kZeroKeys>(x[0], k[0]);
        x[3] = Ops::template Mul<kZeroKeys>(x[3], k[3]);
        x[1] = y1;
        x[2] = y2;
    }
    for (int i = 0; i < kSets; ++i)
        StoreSet(s[i], out + i * kSetBytes);
}

template <class Ops, int kSets, bool kZeroKeys>
inline void CryptAll(const typename Ops::Key* keys, const uint8_t* in, uint8_t* out, size_t blocks) {
    constexpr size_t kSetBlocks = Ops::kLanes;
    constexpr size_t kSetBytes = kSetBlocks * 8;
    for (; blocks >= kSets * kSetBlocks; blocks -= kSets * kSetBlocks) {
        CryptSets<Ops, kSets, kZeroKeys>(keys, in, out);
        in += kSets * kSetBytes;
        out += kSets * kSetBytes;
    }
    for (; blocks >= kSetBlocks; blocks -= kSetBlocks) {
        CryptSets<Ops, 1, kZeroKeys>(keys, in, out);
        in += kSetBytes;
        out += kSetBytes;
    }
    if (blocks != 0) {
        // The last partial set goes through a zero-padded copy: never read or write past the caller's
        // blocks.
        uint8_t pad[kSetBytes] = {};
        std::memcpy(pad, in, blocks * 8);
        CryptSets<Ops, 1, kZeroKeys>(keys, pad, pad);
        std::memcpy(out, pad, blocks * 8);
    }
}

template <class Ops, int kSets>
inline void CryptBlocks(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    if (blocks == 0)
        return;
    typename Ops::Key keys[52];
    bool zeroKey = false;
    for (int i = 0; i < 52; ++i) {
        keys[i] = Ops::MakeKey(subkeys[i]);
        zeroKey = zeroKey || subkeys[i] == 0;
    }
    if (zeroKey)
        CryptAll<Ops, kSets, true>(keys, in, out, blocks);
    else
        CryptAll<Ops, kSets, false>(keys, in, out, blocks);
}

} // namespace idea_simd
