// IDEA on 8 blocks per register set, two sets at a time, with SSE2, which every x86-64 CPU has.
#include "net/idea_simd.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <emmintrin.h>

#include "net/idea_simd_kernel.h"

namespace {

struct Sse2Ops {
    using Reg = __m128i;
    struct Key {
        Reg value;
        Reg zero; // all ones when the subkey is 0
    };
    static constexpr size_t kLanes = 8;

    static Reg Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void Store(uint8_t* p, Reg v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static Key MakeKey(uint16_t k) {
        Reg v = _mm_set1_epi16(short(k));
        return {v, _mm_cmpeq_epi16(v, _mm_setzero_si128())};
    }
    static Reg Add(Reg a, Reg b) { return _mm_add_epi16(a, b); }
    static Reg Xor(Reg a, Reg b) { return _mm_xor_si128(a, b); }
    static Reg Unpack16Lo(Reg a, Reg b) { return _mm_unpacklo_epi16(a, b); }
    static Reg Unpack16Hi(Reg a, Reg b) { return _mm_unpackhi_epi16(a, b); }
    static Reg Unpack32Lo(Reg a, Reg b) { return _mm_unpacklo_epi32(a, b); }
    static Reg Unpack32Hi(Reg a, Reg b) { return _mm_unpackhi_epi32(a, b); }
    static Reg Unpack64Lo(Reg a, Reg b) { return _mm_unpacklo_epi64(a, b); }
    static Reg Unpack64Hi(Reg a, Reg b) { return _mm_unpackhi_epi64(a, b); }

    template <bool kZeroKeys> static Reg Mul(Reg a, const Key& k) {
        const Reg zero = _mm_setzero_si128();
        Reg lo = _mm_mullo_epi16(a, k.value);
        Reg hi = _mm_mulhi_epu16(a, k.value);
        Reg carry = _mm_cmpeq_epi16(_mm_subs_epu16(lo, hi), zero); // lo <= hi: all ones
        Reg t = _mm_sub_epi16(_mm_sub_epi16(lo, hi), carry);
        Reg aZero = _mm_cmpeq_epi16(a, zero);
        if constexpr (kZeroKeys)
            return _mm_sub_epi16(t, _mm_and_si128(_mm_or_si128(aZero, k.zero), _mm_add_epi16(a, k.value)));
        else
            return _mm_sub_epi16(t, _mm_and_si128(aZero, k.value));
    }
};

} // namespace

void IdeaCryptBlocksSse2(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    idea_simd::CryptBlocks<Sse2Ops, 2>(subkeys, in, out, blocks);
}

#else

void IdeaCryptBlocksSse2(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    IdeaCryptBlocksScalar(subkeys, in, out, blocks);
}

#endif
