// Aggregate download throughput of a running orvane-publisher over loopback, for 1 and 20 clients
// fetching the whole package at once. Figures only. scripts/bench-publisher.sh starts the publisher on
// a large package and passes its ports in ORVANE_BENCH_CHECK_PORT and ORVANE_BENCH_DOWNLOAD_PORT.
#include "net/message_header.h"
#include "net/packet_codec.h"
#include "net/session_messages.h"
#include "service/messages.h"

#include <asio.hpp>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

namespace {

// One installer-like connection that receives and counts, writing nothing to disk.
class Client {
  public:
    Client() : socket_(io_), buffers_(std::make_unique<CodecBuffers>()), packet_(kPacketAreaSize) {
        SetKey(fixed_, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
        SetKey(send_, nullptr, 0);
        SetKey(recv_, nullptr, 0);
    }
    bool Connect(uint16_t port) {
        asio::error_code ec;
        socket_.connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
        return !ec;
    }
    bool Send(const uint8_t* msg, size_t len) {
        size_t n =
            EncodePacket(msg, len, authed_ ? '6' : '4', authed_ ? send_ : fixed_, packet_.data(), *buffers_);
        asio::error_code ec;
        asio::write(socket_, asio::buffer(packet_.data(), n), ec);
        return n != 0 && !ec;
    }
    // The next message, or nullopt when the connection ends or carries garbage.
    std::optional<std::pair<const uint8_t*, size_t>> Next() {
        while (true) {
            DecodeResult r = DecodePacket(in_.data() + start_, used_ - start_, fixed_, recv_, *buffers_);
            if (r.status == DecodeStatus::Message) {
                start_ += r.consumed;
                return std::make_pair(r.message, r.length);
            }
            if (r.status == DecodeStatus::Drop)
                return std::nullopt;
            std::memmove(in_.data(), in_.data() + start_, used_ - start_);
            used_ -= start_;
            start_ = 0;
            asio::error_code ec;
            size_t n = socket_.read_some(asio::buffer(in_.data() + used_, in_.size() - used_), ec);
            if (ec)
                return std::nullopt;
            used_ += n;
        }
    }
    bool Authenticate() {
        uint8_t req[kAuthentReqSize];
        BuildAuthentRequest(req);
        if (!Send(req, sizeof req))
            return false;
        while (auto m = Next()) {
            if (PeekMsgType(m->first) != kMsgAuthentRsp)
                continue;
            AuthentAnswer a;
            if (!ReadAuthentAnswer(m->first, m->second, a) || a.errorCode != 0)
                return false;
            SetKey(send_, a.sendKeyText.data(), unsigned(a.sendKeyText.size()));
            SetKey(recv_, a.recvKeyText.data(), unsigned(a.recvKeyText.size()));
            authed_ = true;
            return true;
        }
        return false;
    }
    std::vector<uint8_t> Expect(uint16_t type) {
        while (auto m = Next())
            if (m->second >= MessageHeader::kSize && PeekMsgType(m->first) == type)
                return {m->first, m->first + m->second};
        return {};
    }

  private:
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<CodecBuffers> buffers_;
    std::vector<uint8_t> packet_;
    std::vector<uint8_t> in_ = std::vector<uint8_t>(1 << 19);
    size_t start_ = 0, used_ = 0;
    IdeaKey fixed_, send_, recv_;
    bool authed_ = false;
};

uint16_t PortFromEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? uint16_t(std::atoi(v)) : 0;
}

std::vector<messages::DownloadItem> ModuleList(uint16_t checkPort) {
    Client c;
    std::vector<messages::DownloadItem> items;
    if (!c.Connect(checkPort) || !c.Authenticate())
        return items;
    UserRecord user{"tulip", "tulip"};
    uint8_t record[UserRecord::kSize];
    user.Encode(record);
    uint8_t login[kLoginReqSize];
    BuildLoginRequest(record, login);
    c.Send(login, sizeof login);
    c.Expect(kMsgLoginRsp);
    auto req = messages::EncodeUpdateCheckRequest({"000185", 0, 0});
    c.Send(req.data(), req.size());
    auto offer = c.Expect(messages::kPkgUpdateCheckRsp);
    auto rsp = messages::DecodeUpdateCheckResponse(offer.data(), offer.size());
    if (!rsp || rsp->Offers.empty())
        return items;
    auto check =
        messages::EncodeModuleCheckRequest({'P', "000185", rsp->Offers[0].VerPart3, rsp->Offers[0].VerPart4});
    c.Send(check.data(), check.size());
    while (true) {
        auto msg = c.Expect(messages::kPkgModuleCheckRsp);
        auto modules = messages::DecodeModuleCheckResponse(msg.data(), msg.size());
        if (!modules)
            return {};
        for (const auto& m : modules->Modules)
            items.push_back({std::string(m.Package()), std::string(m.Name()), m.ModuleVerA, m.ModuleVerB});
        if (modules->LastFlag == '0')
            return items;
    }
}

// Downloads every module once; returns the data bytes received, 0 on failure.
uint64_t DownloadAll(uint16_t port, const std::vector<messages::DownloadItem>& items) {
    Client c;
    if (!c.Connect(port) || !c.Authenticate())
        return 0;
    auto req = messages::EncodeFileDownloadRequest(items);
    if (!c.Send(req.data(), req.size()))
        return 0;
    size_t ended = 0;
    uint64_t bytes = 0;
    while (ended < items.size()) {
        auto m = c.Next();
        if (!m)
            return 0;
        auto rsp = messages::DecodeFileDownloadResponse(m->first, m->second);
        if (!rsp)
            continue;
        for (const auto& chunk : rsp->Chunks) {
            bytes += chunk.Data.size();
            ended += chunk.ModuleEnd ? 1 : 0;
        }
    }
    return bytes;
}

void BM_PublisherDownload(benchmark::State& state) {
    uint16_t checkPort = PortFromEnv("ORVANE_BENCH_CHECK_PORT");
    uint16_t downloadPort = PortFromEnv("ORVANE_BENCH_DOWNLOAD_PORT");
    if (!checkPort || !downloadPort) {
        state.SkipWithError("run through scripts/bench-publisher.sh (needs a running publisher)");
        return;
    }
    auto items = ModuleList(checkPort);
    if (items.empty()) {
        state.SkipWithError("no module list from the publisher");
        return;
    }
    int clients = int(state.range(0));
    uint64_t total = 0;
    for (auto _ : state) {
        std::atomic<uint64_t> bytes{0};
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i)
            threads.emplace_back([&] {
                uint64_t n = DownloadAll(downloadPort, items);
                bytes += n;
                failed += n == 0;
            });
        for (auto& t : threads)
            t.join();
        if (failed) {
            state.SkipWithError("a download failed");
            return;
        }
        total += bytes;
    }
    state.SetBytesProcessed(int64_t(total));
    state.counters["clients"] = clients;
}
BENCHMARK(BM_PublisherDownload)->Arg(1)->Arg(20)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
