// Whole-download driver for scripts/bench-download.sh (figures, not a test).
//   download_client_bench fetch ADDRESS PORT FOLDER
//     plays the installer natively: the check client asks the publisher at ADDRESS:PORT, the download
//     client writes every module below FOLDER + "temp"; prints the seconds from the connect (the button
//     press) to WM_USER + 108, the bytes written, and the process's peak resident memory.
//   download_client_bench codec FOLDER
//     the codec-bound limit for the same files: cuts them into 128 KiB messages, sends them through the
//     packet encoder (untimed) and times ParsePackets over the packets; prints message bytes and seconds.
#include "app/install_settings.h"
#include "app/module_list.h"
#include "net/packet_codec.h"
#include "net/packet_io.h"
#include "net/protocol_context.h"
#include "service/notify.h"
#include "service/notify_queue.h"
#include "service/process_check.h"
#include "service/process_dl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Peak resident set size of this process in KiB (VmHWM), or 0 when unknown.
long PeakRssKib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

uint64_t BytesBelow(const fs::path& root) {
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(root, ec))
        if (e.is_regular_file())
            total += e.file_size();
    return total;
}

int Fetch(const char* address, unsigned port, const std::string& folder) {
    InstallSettings& s = GetInstallSettings();
    s.InstallDir = folder;
    s.TempDir = folder + "temp";
    s.PackageNo = "000185";
    GetModuleList().clear();
    fs::create_directories(s.TempDir);
    const long rssBefore = PeakRssKib();

    ProcessCheck check;
    ProcessDL dl;
    bool done = false, failed = false;
    uint32_t failure = 0;
    // Plays the dialog's handlers: connect the download client once the module list is complete,
    // request the modules once its link is authenticated.
    NotifyQueue queue([&](uint32_t message, intptr_t lParam) {
        if (message == kNotifyModuleListDone) {
            if (!dl.SetServer(s.DownloadAddress, s.DownloadPort) || !dl.Connect()) {
                failed = true;
                failure = message;
            }
        } else if (message == kNotifyDLAuthentLink && lParam == 0) {
            dl.DownloadModule();
        } else if (message == kNotifyDownloadDone) {
            done = true;
        } else if (message != kNotifyFileDone) {
            failed = true;
            failure = message;
        }
    });
    const auto start = Clock::now();
    if (!check.SetServer(address, port) || !check.Connect()) {
        std::fprintf(stderr, "fetch: cannot connect to %s:%u\n", address, port);
        return 1;
    }
    queue.PumpUntil([&] { return done || failed; }, std::chrono::minutes(10));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    check.Stop();
    dl.Stop();
    queue.PumpPending();
    if (!done) {
        std::fprintf(stderr, "fetch: no download-complete notification (failure message %u)\n", failure);
        return 1;
    }
    std::printf("seconds %.3f bytes %llu peak_rss_kib %ld rss_before_kib %ld\n", seconds,
                (unsigned long long)BytesBelow(s.TempDir), PeakRssKib(), rssBefore);
    return 0;
}

struct Sink final : MessageSink {
    uint64_t bytes = 0;
    void HandleMessage(const uint8_t*, size_t len) override { bytes += len; }
};

int Codec(const std::string& folder) {
    ProtocolContext ctx;
    ctx.InstallSessionKeys("0123456789abcdef", "fedcba9876543210");
    const IdeaKey recvKey = ctx.RecvKey();
    auto buffers = std::make_unique<CodecBuffers>();
    const size_t message = std::min<size_t>(128 * 1024, MaxEncodableMessage());
    std::vector<uint8_t> chunk(message), stream, packet(kPacketAreaSize);
    Sink sink;
    uint64_t fed = 0;
    Clock::duration spent{};
    // A batch of packets at a time keeps memory small; only ParsePackets is timed.
    auto parse = [&] {
        const auto t0 = Clock::now();
        size_t used = ParsePackets(ctx, *buffers, sink, stream.data(), stream.size());
        spent += Clock::now() - t0;
        if (used != stream.size())
            std::fprintf(stderr, "codec: stream not consumed whole\n");
        stream.clear();
    };
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        while (in) {
            in.read(reinterpret_cast<char*>(chunk.data()), std::streamsize(chunk.size()));
            const size_t got = size_t(in.gcount());
            if (got == 0)
                break;
            const size_t n = EncodePacket(chunk.data(), got, '6', recvKey, packet.data(), *buffers);
            if (n == 0) {
                std::fprintf(stderr, "codec: a message did not encode\n");
                return 1;
            }
            stream.insert(stream.end(), packet.begin(), packet.begin() + std::ptrdiff_t(n));
            fed += got;
            if (stream.size() >= 8u << 20)
                parse();
        }
    }
    if (!stream.empty())
        parse();
    if (sink.bytes != fed) {
        std::fprintf(stderr, "codec: %llu message bytes decoded of %llu\n", (unsigned long long)sink.bytes,
                     (unsigned long long)fed);
        return 1;
    }
    std::printf("bytes %llu seconds %.3f\n", (unsigned long long)fed,
                std::chrono::duration<double>(spent).count());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "fetch") == 0)
        return Fetch(argv[2], unsigned(std::strtoul(argv[3], nullptr, 10)), argv[4]);
    if (argc == 3 && std::strcmp(argv[1], "codec") == 0)
        return Codec(argv[2]);
    std::fprintf(stderr, "usage: %s fetch ADDRESS PORT FOLDER | codec FOLDER\n", argv[0]);
    return 2;
}
