// The receive path's codec cost: ParsePackets over a stream of type-6 packets whose messages are 128 KiB
// of compressible data, as a download delivers them. The rate counts message bytes (what is written to
// disk), which is the codec-bound limit of a whole download. Two kinds of data: slices of real
// executables (this benchmark's own file and the C++ library's), and a synthetic binary-like stream.
#include "core/wire.h"
#include "net/idea.h"
#include "net/lzo_codec.h"
#include "net/packet_codec.h"
#include "net/packet_io.h"
#include "net/protocol_context.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <random>
#include <vector>

namespace {

constexpr size_t kMessage = 131072; // the receiver's whole decompression area
constexpr size_t kPackets = 16;

// Binary-like bytes: a random walk through a small vocabulary of short "instructions" and some noise,
// so LZO1X finds matches as it does in executables.
std::vector<uint8_t> CompressibleMessage(std::mt19937& rng) {
    std::vector<std::vector<uint8_t>> vocabulary(192);
    for (auto& word : vocabulary) {
        word.resize(1 + rng() % 8);
        for (auto& b : word)
            b = uint8_t(rng());
    }
    std::vector<uint8_t> msg;
    msg.reserve(kMessage + 16);
    while (msg.size() < kMessage) {
        if (rng() % 8 == 0) {
            msg.push_back(uint8_t(rng()));
            continue;
        }
        const auto& word = vocabulary[rng() % vocabulary.size()];
        msg.insert(msg.end(), word.begin(), word.end());
    }
    msg.resize(kMessage);
    return msg;
}

// Real machine code and data: the executable that runs this benchmark, then system libraries.
std::vector<uint8_t> ExecutableBytes(size_t need) {
    std::vector<uint8_t> all;
    for (const char* path : {"/proc/self/exe", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6",
                             "/usr/lib/x86_64-linux-gnu/libc.so.6"}) {
        std::ifstream in(path, std::ios::binary);
        all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (all.size() >= need)
            break;
    }
    return all;
}

struct CountingSink final : MessageSink {
    size_t messages = 0, bytes = 0;
    void HandleMessage(const uint8_t* msg, size_t len) override {
        ++messages;
        bytes += len;
        benchmark::DoNotOptimize(msg[len - 1]);
    }
};

// kPackets type-6 packets back to back, enciphered with the receive key of ctx.
struct Stream {
    std::vector<uint8_t> bytes;
    size_t messageBytes = 0;
};

bool BuildStream(bool executables, const ProtocolContext& ctx, Stream& out) {
    const IdeaKey recvKey = ctx.RecvKey();
    std::vector<uint8_t> work(lzo_codec::WorkSize()), packed(2 * kMessage);
    std::mt19937 rng(3);
    const std::vector<uint8_t> code =
        executables ? ExecutableBytes(kPackets * kMessage) : std::vector<uint8_t>();
    if (executables && code.size() < kPackets * kMessage)
        return false;
    for (size_t i = 0; i < kPackets; ++i) {
        std::vector<uint8_t> msg =
            executables ? std::vector<uint8_t>(code.begin() + i * kMessage, code.begin() + (i + 1) * kMessage)
                        : CompressibleMessage(rng);
        size_t n = lzo_codec::Compress(msg.data(), msg.size(), packed.data(), packed.size(), work.data());
        if (n == 0 || n > kMaxPayload)
            return false;
        uint8_t header[kPacketHeaderSize] = {kPacketMagic, '6'};
        wire::StoreU32(header + 2, uint32_t(n));
        out.bytes.insert(out.bytes.end(), header, header + kPacketHeaderSize);
        size_t at = out.bytes.size();
        out.bytes.resize(at + n);
        EncryptBuffer(packed.data(), out.bytes.data() + at, int32_t(n), recvKey);
        out.messageBytes += msg.size();
    }
    return true;
}

ProtocolContext& BenchContext() {
    static ProtocolContext ctx;
    static const bool keyed = (ctx.InstallSessionKeys("0123456789abcdef", "fedcba9876543210"), true);
    (void)keyed;
    return ctx;
}

void BM_ParsePackets(benchmark::State& state) {
    const bool executables = state.range(0) == 0;
    ProtocolContext& ctx = BenchContext();
    Stream stream;
    if (!BuildStream(executables, ctx, stream)) {
        state.SkipWithError("could not build the packet stream");
        return;
    }
    auto buffers = std::make_unique<CodecBuffers>();
    CountingSink sink;
    for (auto _ : state) {
        size_t used = ParsePackets(ctx, *buffers, sink, stream.bytes.data(), stream.bytes.size());
        if (used != stream.bytes.size()) {
            state.SkipWithError("stream not consumed whole");
            return;
        }
    }
    if (sink.bytes != stream.messageBytes * state.iterations()) {
        state.SkipWithError("messages lost");
        return;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.messageBytes));
    state.counters["compression"] = double(stream.messageBytes) / double(stream.bytes.size());
    state.SetLabel(executables ? "executables" : "synthetic");
}

// The two halves of the same work, rated by the same message bytes: where the time goes.
void BM_ParseShare(benchmark::State& state) {
    const bool executables = state.range(0) == 0, decompress = state.range(1) == 1;
    ProtocolContext& ctx = BenchContext();
    const IdeaKey recvKey = ctx.RecvKey();
    Stream stream;
    if (!BuildStream(executables, ctx, stream)) {
        state.SkipWithError("could not build the packet stream");
        return;
    }
    // Deciphered payloads, for the decompression half.
    std::vector<std::vector<uint8_t>> payloads;
    for (size_t pos = 0; pos < stream.bytes.size();) {
        size_t n = wire::LoadU32(&stream.bytes[pos + 2]);
        payloads.emplace_back(n);
        DecryptBuffer(&stream.bytes[pos + kPacketHeaderSize], payloads.back().data(), int32_t(n), recvKey);
        pos += kPacketHeaderSize + n;
    }
    auto buffers = std::make_unique<CodecBuffers>();
    for (auto _ : state) {
        for (const auto& p : payloads) {
            if (decompress) {
                size_t length = 0;
                if (!lzo_codec::Decompress(p.data(), p.size(), buffers->message, sizeof buffers->message,
                                           length))
                    state.SkipWithError("payload does not decompress");
            } else {
                DecryptBuffer(p.data(), buffers->stage, int32_t(p.size()), recvKey);
            }
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.messageBytes));
    state.SetLabel(std::string(executables ? "executables" : "synthetic") +
                   (decompress ? " decompress only" : " decrypt only"));
}
BENCHMARK(BM_ParseShare)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_ParsePackets)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
