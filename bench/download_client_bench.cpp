// Whole-download driver for scripts/bench-download.sh (figures, not a test).
//   download_client_bench fetch ADDRESS PORT FOLDER [PACKAGE]
//     plays the installer natively: the check client asks the publisher at ADDRESS:PORT, the download
//     client writes every module below FOLDER + "temp"; prints the seconds from the connect (the button
//     press) to WM_USER + 108, the bytes written, the process's peak resident memory and the CPU seconds
//     it used in that time. With PACKAGE (the folder the publisher serves), a second line follows:
//       receive-thread-cpu-s-per-gb X codec-cpu-s-per-gb Y ratio Z user-s-per-gb U system-s-per-gb S
//     X = U + S is the CPU time of the download connection's receive thread (the one that reads the
//     socket, decodes the packets and writes the files) per 10^9 file bytes, U in user space and S in
//     the kernel (socket reads, file writes); Y is the CPU time ParsePackets alone takes, on this
//     thread, over the publisher's download messages for the same package; Z = X / Y.
//   download_client_bench codec PACKAGE
//     the codec-bound limit for the same package: builds the publisher's download messages for every
//     module, sends them through the packet encoder (untimed) and times ParsePackets over the packets;
//     prints the file bytes they carry, their message bytes and the seconds. Then the same for the bare
//     files cut into 128 KiB messages (no records around the data), for comparison.
#include "core/wide_path.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "net/packet_codec.h"
#include "net/packet_io.h"
#include "net/protocol_context.h"
#include "publisher/prepared/chunk_stream.h"
#include "publisher/prepared/message_layout.h"
#include "publisher/package/load_package.h"
#include "publisher/serving/session.h"
#include "service/messages.h"
#include "service/notify.h"
#include "service/notify_queue.h"
#include "service/process_check.h"
#include "service/process_dl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <time.h>

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

// CPU seconds (user and system) this process has used so far.
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

double ClockSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The download client, reading its receive thread's CPU time (user and system, since the thread
// started) on that thread, as the message that completes the download has been handled: the thread
// reads the socket, decodes the packets and writes the files.
class TimedDL final : public ProcessDL {
  public:
    ~TimedDL() override { Shutdown(); }

    void OnMessage(const uint8_t* msg, size_t len) override {
        ProcessDL::OnMessage(msg, len);
        if (measured_.load() || Active())
            return;
        rusage u{};
        getrusage(RUSAGE_THREAD, &u);
        userSeconds_ = Seconds(u.ru_utime);
        systemSeconds_ = Seconds(u.ru_stime);
        measured_.store(true);
    }

    // Waits (briefly: the completing message is being handled) for the figures; false without them.
    bool Measured(double& user, double& system) const {
        for (int i = 0; i < 5000 && !measured_.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!measured_.load())
            return false;
        user = userSeconds_;
        system = systemSeconds_;
        return true;
    }

  private:
    static double Seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

    std::atomic<bool> measured_{false};
    double userSeconds_ = 0, systemSeconds_ = 0; // written before measured_ is set
};

uint64_t BytesBelow(const fs::path& root) {
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(root, ec))
        if (e.is_regular_file())
            total += e.file_size();
    return total;
}

int CodecCpu(const std::string& packageFolder, uint64_t& fileBytes, double& cpuSeconds);

int Fetch(const char* address, unsigned port, const std::string& folder, const char* packageFolder) {
    InstallSettings& s = GetInstallSettings();
    s.InstallDir = WidePathFromBytes(folder);
    s.TempDir = WidePathFromBytes(folder + "temp");
    s.PackageNo = "000185";
    GetModuleList().clear();
    fs::create_directories(folder + "temp");
    const long rssBefore = PeakRssKib();

    ProcessCheck check;
    TimedDL dl;
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
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    if (!check.SetServer(address, port) || !check.Connect()) {
        std::fprintf(stderr, "fetch: cannot connect to %s:%u\n", address, port);
        return 1;
    }
    queue.PumpUntil([&] { return done || failed; }, std::chrono::minutes(10));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    check.Stop();
    dl.Stop();
    queue.PumpPending();
    if (!done) {
        std::fprintf(stderr, "fetch: no download-complete notification (failure message %u)\n", failure);
        return 1;
    }
    std::printf("seconds %.3f bytes %llu peak_rss_kib %ld rss_before_kib %ld cpu_s %.3f\n", seconds,
                (unsigned long long)BytesBelow(folder + "temp"), PeakRssKib(), rssBefore, cpu);
    if (packageFolder == nullptr)
        return 0;
    uint64_t codecBytes = 0;
    double codecCpu = 0;
    if (CodecCpu(packageFolder, codecBytes, codecCpu) != 0)
        return 1;
    double user = 0, system = 0;
    if (!dl.Measured(user, system) || codecBytes == 0 || codecCpu <= 0) {
        std::fprintf(stderr, "fetch: no receive-thread or codec CPU time measured\n");
        return 1;
    }
    const double perGb = 1e9 / double(codecBytes);
    std::printf("receive-thread-cpu-s-per-gb %.3f codec-cpu-s-per-gb %.3f ratio %.2f user-s-per-gb %.3f "
                "system-s-per-gb %.3f\n",
                (user + system) * perGb, codecCpu * perGb, (user + system) / codecCpu, user * perGb,
                system * perGb);
    return 0;
}

struct Sink final : MessageSink {
    uint64_t bytes = 0;
    void HandleMessage(const uint8_t*, size_t len) override { bytes += len; }
};

// What ParsePackets cost over a stream of packets: the message bytes decoded, the wall-clock and the
// CPU seconds of this thread spent in it; seconds < 0 when a message did not survive the round trip.
struct ParseCost {
    uint64_t bytes = 0;
    double seconds = -1.0;
    double cpuSeconds = 0.0;
};

// Times ParsePackets over the packets that `next` produces (one message per call, false at the end),
// encoded as the publisher encodes them; only ParsePackets is timed.
template <typename NextMessage> ParseCost TimeParse(NextMessage next) {
    ProtocolContext ctx;
    ctx.InstallSessionKeys("0123456789abcdef", "fedcba9876543210");
    const IdeaKey recvKey = ctx.RecvKey();
    auto buffers = std::make_unique<CodecBuffers>();
    std::vector<uint8_t> stream, packet(kPacketAreaSize);
    Sink sink;
    uint64_t fed = 0;
    bool intact = true;
    Clock::duration spent{};
    double cpu = 0.0;
    // A batch of about what one socket read brings: memory stays small and the packets are as warm in
    // the cache as the receive thread finds them right after its read.
    auto parse = [&] {
        const double c0 = ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto t0 = Clock::now();
        const size_t used = ParsePackets(ctx, *buffers, sink, stream.data(), stream.size());
        spent += Clock::now() - t0;
        cpu += ClockSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
        intact = intact && used == stream.size();
        stream.clear();
    };
    std::span<const uint8_t> msg;
    while (intact && next(msg)) {
        const size_t n = EncodePacket(msg.data(), msg.size(), '6', recvKey, packet.data(), *buffers);
        intact = n != 0;
        stream.insert(stream.end(), packet.begin(), packet.begin() + std::ptrdiff_t(n));
        fed += msg.size();
        if (stream.size() >= 1u << 20)
            parse();
    }
    if (!stream.empty())
        parse();
    const double seconds = std::chrono::duration<double>(spent).count();
    return {fed, intact && sink.bytes == fed ? seconds : -1.0, cpu};
}

// The codec-bound cost of the download: the publisher's own download messages for every module of the
// package (file chunks in 1,229-byte records, as many as fit a packet), so the decoder meets the bytes a
// fetch meets. fileBytes is what the chunks carry; false (said on stderr) when the package cannot be
// read or a message did not survive the round trip.
bool DownloadMessagesCost(const publisher::Package& package, uint64_t& fileBytes, ParseCost& cost) {
    publisher::ChunkStream chunks;
    for (const auto& module : package.modules)
        chunks.Enqueue(&module);
    const size_t perMessage = publisher::ChunksPerMessage();
    std::vector<messages::FileChunk> list;
    std::vector<uint8_t> message;
    fileBytes = 0;
    bool readable = true;
    cost = TimeParse([&](std::span<const uint8_t>& msg) {
        if (!chunks.Active())
            return false;
        list.clear();
        if (Status next = chunks.Next(list, perMessage); !next) {
            std::fprintf(stderr, "codec: %s\n", next.error().message().c_str());
            return readable = false;
        }
        for (const auto& c : list)
            fileBytes += c.Data.size();
        auto encoded = messages::EncodeFileDownloadResponse(list);
        if (!encoded)
            return readable = false;
        message = std::move(*encoded);
        msg = message;
        return true;
    });
    if (readable && (cost.seconds < 0 || fileBytes != package.bytes)) {
        std::fprintf(stderr, "codec: a message did not survive the packet round trip\n");
        return false;
    }
    return readable;
}

std::optional<publisher::Package> Load(const std::string& packageFolder) {
    auto load = publisher::LoadPackage(packageFolder);
    if (!load) {
        std::fprintf(stderr, "codec: %s\n", load.error().message().c_str());
        return std::nullopt;
    }
    return std::move(*load);
}

int CodecCpu(const std::string& packageFolder, uint64_t& fileBytes, double& cpuSeconds) {
    const auto package = Load(packageFolder);
    ParseCost cost;
    if (!package || !DownloadMessagesCost(*package, fileBytes, cost))
        return 1;
    cpuSeconds = cost.cpuSeconds;
    return 0;
}

// The codec-bound limit of the download (DownloadMessagesCost) and, for comparison, the package's bare
// file bytes cut into 128 KiB messages.
int Codec(const std::string& packageFolder) {
    const auto loaded = Load(packageFolder);
    uint64_t fileBytes = 0;
    ParseCost download;
    if (!loaded || !DownloadMessagesCost(*loaded, fileBytes, download))
        return 1;
    const publisher::Package& package = *loaded;

    std::vector<fs::path> files;
    for (const auto& module : package.modules)
        for (const auto& f : module.files)
            files.push_back(f.source);
    std::vector<uint8_t> piece(std::min<size_t>(128 * 1024, MaxEncodableMessage()));
    size_t fileIndex = 0;
    std::ifstream in;
    const auto bare = TimeParse([&](std::span<const uint8_t>& msg) {
        for (;;) {
            if (in.is_open()) {
                in.read(reinterpret_cast<char*>(piece.data()), std::streamsize(piece.size()));
                if (const size_t got = size_t(in.gcount()); got != 0) {
                    msg = {piece.data(), got};
                    return true;
                }
                in.close();
            }
            if (fileIndex == files.size())
                return false;
            in.open(files[fileIndex++], std::ios::binary);
        }
    });

    if (bare.seconds < 0) {
        std::fprintf(stderr, "codec: a message did not survive the packet round trip\n");
        return 1;
    }
    std::printf("file_bytes %llu message_bytes %llu seconds %.3f bare_bytes %llu bare_seconds %.3f\n",
                (unsigned long long)fileBytes, (unsigned long long)download.bytes, download.seconds,
                (unsigned long long)bare.bytes, bare.seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "fetch") == 0)
        return Fetch(argv[2], unsigned(std::strtoul(argv[3], nullptr, 10)), argv[4],
                     argc == 6 ? argv[5] : nullptr);
    if (argc == 3 && std::strcmp(argv[1], "codec") == 0)
        return Codec(argv[2]);
    std::fprintf(stderr, "usage: %s fetch ADDRESS PORT FOLDER [PACKAGE] | codec PACKAGE\n", argv[0]);
    return 2;
}
