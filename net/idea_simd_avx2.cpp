// IDEA on 16 blocks per register set, three sets at a time, with AVX2. Built with -mavx2; called only after
// CPU detection.
#include "net/idea_simd.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <immintrin.h>

#include "net/idea_simd_kernel.h"

namespace {

struct Avx2Ops {
    using Reg = __m256i;
    struct Key {
        Reg value;
        Reg zero; // all ones when the subkey is 0
    };
    static constexpr size_t kLanes = 16;

    static Reg Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void Store(uint8_t* p, Reg v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static Key MakeKey(uint16_t k) {
        Reg v = _mm256_set1_epi16(short(k));
        return {v, _mm256_cmpeq_epi16(v, _mm256_setzero_si256())};
    }
    static Reg Add(Reg a, Reg b) { return _mm256_add_epi16(a, b); }
    static Reg Xor(Reg a, Reg b) { return _mm256_xor_si256(a, b); }
    static Reg Unpack16Lo(Reg a, Reg b) { return _mm256_unpacklo_epi16(a, b); }
    static Reg Unpack16Hi(Reg a, Reg b) { return _mm256_unpackhi_epi16(a, b); }
    static Reg Unpack32Lo(Reg a, Reg b) { return _mm256_unpacklo_epi32(a, b); }
    static Reg Unpack32Hi(Reg a, Reg b) { return _mm256_unpackhi_epi32(a, b); }
    static Reg Unpack64Lo(Reg a, Reg b) { return _mm256_unpacklo_epi64(a, b); }
    static Reg Unpack64Hi(Reg a, Reg b) { return _mm256_unpackhi_epi64(a, b); }

    template <bool kZeroKeys> static Reg Mul(Reg a, const Key& k) {
        const Reg zero = _mm256_setzero_si256();
        Reg lo = _mm256_mullo_epi16(a, k.value);
        Reg hi = _mm256_mulhi_epu16(a, k.value);
        Reg carry = _mm256_cmpeq_epi16(_mm256_subs_epu16(lo, hi), zero); // lo <= hi: all ones
        Reg t = _mm256_sub_epi16(_mm256_sub_epi16(lo, hi), carry);
        Reg aZero = _mm256_cmpeq_epi16(a, zero);
        if constexpr (kZeroKeys)
            return _mm256_sub_epi16(
                t, _mm256_and_si256(_mm256_or_si256(aZero, k.zero), _mm256_add_epi16(a, k.value)));
        else
            return _mm256_sub_epi16(t, _mm256_and_si256(aZero, k.value));
    }
};

} // namespace

void IdeaCryptBlocksAvx2(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    idea_simd::CryptBlocks<Avx2Ops, 3>(subkeys, in, out, blocks);
}

#else

void IdeaCryptBlocksAvx2(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks) {
    IdeaCryptBlocksScalar(subkeys, in, out, blocks);
}

#endif
