// IDEA throughput per kernel on 128 KiB buffers (the packet area size), beside Botan's IDEA as the
// anchor. Figures only; scripts/bench-idea.sh turns them into MB/s and ratios.
#include "net/idea.h"
#include "net/idea_blocks.h"
#include "net/idea_simd.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#if ORVANE_HAVE_BOTAN
#include <botan/block_cipher.h>
#endif

namespace {

constexpr size_t kBuffer = 128 * 1024;

std::vector<uint8_t> RandomBytes(size_t n) {
    std::mt19937 rng(1);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

const IdeaKey& BenchKey() {
    static const IdeaKey key = [] {
        IdeaKey k;
        std::vector<uint8_t> raw = RandomBytes(16);
        SetKey(k, raw.data(), 16);
        return k;
    }();
    return key;
}

void RunKernel(benchmark::State& state, IdeaBlocksFn fn, bool decrypt, size_t bytes) {
    const uint16_t* subkeys = decrypt ? BenchKey().decrypt : BenchKey().encrypt;
    std::vector<uint8_t> in = RandomBytes(bytes), out(bytes);
    for (auto _ : state) {
        fn(subkeys, in.data(), out.data(), bytes / 8);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_Idea(benchmark::State& state, IdeaPath path, bool decrypt) {
    if (!IdeaPathSupported(path)) {
        state.SkipWithError("CPU lacks this path");
        return;
    }
    RunKernel(state, IdeaKernel(path), decrypt, kBuffer);
}

// The function the codec calls, with the path chosen at run time.
void BM_IdeaDispatched(benchmark::State& state, bool decrypt) {
    RunKernel(state, IdeaCryptBlocks, decrypt, size_t(state.range(0)));
}

// The whole block mode as the receive path uses it: blocks plus the tail.
void BM_DecryptBuffer(benchmark::State& state) {
    const size_t bytes = size_t(state.range(0));
    std::vector<uint8_t> in = RandomBytes(bytes), out(bytes);
    for (auto _ : state) {
        DecryptBuffer(in.data(), out.data(), int32_t(bytes), BenchKey());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

#if ORVANE_HAVE_BOTAN
void BM_BotanIdea(benchmark::State& state, bool decrypt) {
    auto cipher = Botan::BlockCipher::create_or_throw("IDEA");
    std::vector<uint8_t> raw = RandomBytes(16);
    cipher->set_key(raw.data(), raw.size());
    std::vector<uint8_t> in = RandomBytes(kBuffer), out(kBuffer);
    for (auto _ : state) {
        if (decrypt)
            cipher->decrypt_n(in.data(), out.data(), kBuffer / 8);
        else
            cipher->encrypt_n(in.data(), out.data(), kBuffer / 8);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBuffer));
    state.SetLabel(cipher->provider());
}
BENCHMARK_CAPTURE(BM_BotanIdea, encrypt, false);
BENCHMARK_CAPTURE(BM_BotanIdea, decrypt, true);
#endif

BENCHMARK_CAPTURE(BM_Idea, scalar_encrypt, IdeaPath::Scalar, false);
BENCHMARK_CAPTURE(BM_Idea, scalar_decrypt, IdeaPath::Scalar, true);
BENCHMARK_CAPTURE(BM_Idea, sse2_encrypt, IdeaPath::Sse2, false);
BENCHMARK_CAPTURE(BM_Idea, sse2_decrypt, IdeaPath::Sse2, true);
BENCHMARK_CAPTURE(BM_Idea, avx2_encrypt, IdeaPath::Avx2, false);
BENCHMARK_CAPTURE(BM_Idea, avx2_decrypt, IdeaPath::Avx2, true);
BENCHMARK_CAPTURE(BM_Idea, avx512bw_encrypt, IdeaPath::Avx512, false);
BENCHMARK_CAPTURE(BM_Idea, avx512bw_decrypt, IdeaPath::Avx512, true);
BENCHMARK_CAPTURE(BM_IdeaDispatched, encrypt, false)->Arg(80)->Arg(1024)->Arg(kBuffer);
BENCHMARK_CAPTURE(BM_IdeaDispatched, decrypt, true)->Arg(80)->Arg(1024)->Arg(kBuffer);
BENCHMARK(BM_DecryptBuffer)->Arg(80)->Arg(1024)->Arg(kBuffer - 3);

} // namespace

BENCHMARK_MAIN();
