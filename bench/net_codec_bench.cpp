// Throughput of the codec's parts on 128 KiB buffers: IDEA both ways, LZO both ways, and a whole
// packet encoded and parsed back. With Botan available its IDEA runs on the same buffers as the anchor.
#include "net/idea.h"
#include "net/idea_simd.h"
#include "net/lzo_codec.h"
#include "net/packet_codec.h"
#include "net/packet_io.h"
#include "net/protocol_context.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifdef ORVANE_HAVE_BOTAN
#include <botan/block_cipher.h>
#endif

namespace {

constexpr size_t kSize = 128 * 1024;

// Text-like data: it compresses, as the service's records do.
std::vector<uint8_t> Payload(size_t n) {
    std::mt19937 rng(42);
    std::vector<uint8_t> v(n);
    const char* words[] = {"module ", "server\\", "depend.zip ", "TalvikTradeSafe ", "0001 ", "\0\0\0\0"};
    size_t i = 0;
    while (i < n) {
        const char* w = words[rng() % 6];
        size_t len = std::strlen(w) ? std::strlen(w) : 4;
        for (size_t j = 0; j < len && i < n; ++j)
            v[i++] = uint8_t(w[j] + (rng() % 17 == 0));
    }
    return v;
}

IdeaKey BenchKey() {
    IdeaKey k;
    SetKey(k, "0123456789abcdef", 16);
    return k;
}

void IdeaEncrypt(benchmark::State& state) {
    auto in = Payload(kSize);
    std::vector<uint8_t> out(kSize);
    IdeaKey key = BenchKey();
    for (auto _ : state) {
        EncryptBuffer(in.data(), out.data(), int32_t(kSize), key);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(IdeaEncrypt);

void IdeaDecrypt(benchmark::State& state) {
    auto in = Payload(kSize);
    std::vector<uint8_t> out(kSize);
    IdeaKey key = BenchKey();
    for (auto _ : state) {
        DecryptBuffer(in.data(), out.data(), int32_t(kSize), key);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(IdeaDecrypt);

// The portable rounds alone, whatever path IdeaCryptBlocks picks on this machine.
void IdeaScalarEncrypt(benchmark::State& state) {
    auto in = Payload(kSize);
    std::vector<uint8_t> out(kSize);
    IdeaKey key = BenchKey();
    IdeaBlocksFn scalar = IdeaKernel(IdeaPath::Scalar);
    for (auto _ : state) {
        scalar(key.encrypt, in.data(), out.data(), kSize / 8);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
    state.SetLabel(IdeaPathName(IdeaBestPath()) + std::string(" is the path in use"));
}
BENCHMARK(IdeaScalarEncrypt);

#ifdef ORVANE_HAVE_BOTAN
void BotanIdeaEncrypt(benchmark::State& state) {
    auto in = Payload(kSize);
    std::vector<uint8_t> out(kSize);
    auto cipher = Botan::BlockCipher::create("IDEA");
    cipher->set_key(reinterpret_cast<const uint8_t*>("0123456789abcdef"), 16);
    for (auto _ : state) {
        cipher->encrypt_n(in.data(), out.data(), kSize / 8);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(BotanIdeaEncrypt);

void BotanIdeaDecrypt(benchmark::State& state) {
    auto in = Payload(kSize);
    std::vector<uint8_t> out(kSize);
    auto cipher = Botan::BlockCipher::create("IDEA");
    cipher->set_key(reinterpret_cast<const uint8_t*>("0123456789abcdef"), 16);
    for (auto _ : state) {
        cipher->decrypt_n(in.data(), out.data(), kSize / 8);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(BotanIdeaDecrypt);
#endif

void LzoCompress(benchmark::State& state) {
    auto in = Payload(MaxEncodableMessage());
    auto buffers = std::make_unique<CodecBuffers>();
    size_t n = 0;
    for (auto _ : state) {
        n = lzo_codec::Compress(in.data(), in.size(), buffers->stage, sizeof buffers->stage, buffers->work);
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.counters["ratio"] = double(n) / double(in.size());
}
BENCHMARK(LzoCompress);

void LzoDecompress(benchmark::State& state) {
    auto in = Payload(MaxEncodableMessage());
    auto buffers = std::make_unique<CodecBuffers>();
    size_t packed =
        lzo_codec::Compress(in.data(), in.size(), buffers->stage, sizeof buffers->stage, buffers->work);
    for (auto _ : state) {
        size_t n = 0;
        lzo_codec::Decompress(buffers->stage, packed, buffers->message, sizeof buffers->message, n);
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(LzoDecompress);

struct CountingSink : MessageSink {
    size_t bytes = 0;
    void HandleMessage(const uint8_t*, size_t len) override { bytes += len; }
};

// EncodePacket is what SendPacket does before the transport; ParsePackets is the receive side.
void PacketRoundTrip(benchmark::State& state) {
    auto msg = Payload(MaxEncodableMessage());
    ProtocolContext ctx;
    ctx.InstallSessionKeys("0123456789abcdef", "0123456789abcdef");
    IdeaKey sendKey = ctx.SendKey();
    auto sendBuffers = std::make_unique<CodecBuffers>();
    auto recvBuffers = std::make_unique<CodecBuffers>();
    std::vector<uint8_t> packet(kPacketAreaSize);
    CountingSink sink;
    for (auto _ : state) {
        size_t n = EncodePacket(msg.data(), msg.size(), '6', sendKey, packet.data(), *sendBuffers);
        size_t used = ParsePackets(ctx, *recvBuffers, sink, packet.data(), n);
        benchmark::DoNotOptimize(used);
    }
    if (sink.bytes != msg.size() * state.iterations())
        state.SkipWithError("round trip lost bytes");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(msg.size()));
}
BENCHMARK(PacketRoundTrip);

} // namespace

BENCHMARK_MAIN();
