// IDEA on 32 blocks per register set, four sets at a time, with AVX-512BW. Built with -mavx512bw; called only
// after CPU detection.
#include "net/idea_simd.h"

#if defined(__x86_64__) || defined(_M_X64)

// GCC 12's AVX-512 unpack intrinsics start from a deliberately undefined register and warn about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "net/idea_simd_kernel.h"

namespace {

struct Avx512Ops {
    using Reg = __m512i;
    struct Key {
        Reg value;
        __mmask32 zero; // every lane when the subkey is 0
    };
    static constexpr size_t kLanes = 32;

    static Reg Load(const uint8_t* p) { return _mm512_loadu_si512(p); }
    static void Store(uint8_t* p, Reg v) { _mm512_storeu_si512(p, v); }
    static Key MakeKey(uint16_t k) { return {_mm512_set1_epi16(short(k)), k == 0 ? __mmask32(~0u) : 0}; }
    static Reg Add(Reg a, Reg b) { return _mm512_add_epi16(a, b); }
    static Reg Xor(Reg a, Reg b) { return _mm512_xor_si512(a, b); }
    static Reg Unpack16Lo(Reg a, Reg b) { return _mm512_unpacklo_epi16(a, b); }
    static Reg Unpack16Hi(Reg a, Reg b) { return _mm512_unpackhi_epi16(a, b); }
    static Reg Unpack32Lo(Reg a, Reg b) { return _mm512_unpacklo_epi32(a, b); }
    static Reg Unpack32Hi(Reg a, Reg b) { return _mm512_unpackhi_epi32(a, b); }
    static Reg Unpack64Lo(Reg a, Reg b) { return _mm512_unpacklo_epi64(a, b); }
    static Reg Unpack64Hi(Reg a, Reg b) { return _mm512_unpackhi_epi64(a, b); }

    template <bool kZeroKeys> static Reg Mul(Reg a, const Key& k) {
        Reg lo = _mm512_mullo_epi16(a, k.value);
        Reg hi = _mm512_mulhi_epu16(a, k.value);
        __mmask32 carry = _mm512_cmple_epu16_mask(lo, hi);
        Reg t = _mm512_sub_epi16(lo, hi);
        t = _mm512_mask_sub_epi16(t, carry, t, _mm512_set1_epi16(-1));
        __mmask32 aZero = _mm512_testn_epi16_mask(a, a);
        if constexpr (kZeroKeys)
            return _mm512_mask_sub_epi16(t, _kor_mask32(aZero, k.zero), t, _mm512_add_epi16(a, k.value));
        else
            return _mm512_mask_sub_epi16(t, aZero, t, k.value);
    }
};

} // namespace

void IdeaCryptBlocksAvx512(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    idea_simd::CryptBlocks<Avx512Ops, 4>(subkeys, in, out, blocks);
}

#else

void IdeaCryptBlocksAvx512(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    IdeaCryptBlocksScalar(subkeys, in, out, blocks);
}

#endif
