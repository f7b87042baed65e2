#include "publisher/serving/download_probe.h"

#include "core/wire.h"
#include "net/message_header.h"
#include "net/session_messages.h"
#include "publisher/serving/error_codes.h"
#include "publisher/ops/event_log.h"

#include <algorithm>
#include <cstring>

namespace publisher {
namespace {

std::string Name(const Endpoint& e) {
    return e.address + ":" + std::to_string(e.port);
}

std::string Seconds(std::chrono::steady_clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

} // namespace

ServerHealth::Change ServerHealth::Note(bool answered, bool definite) {
    if (answered) {
        failures_ = 0;
        if (live_)
            return Change::None;
        live_ = true;
        return Change::CameBack;
    }
    failures_ = definite ? std::max(failures_ + 1, 2u) : failures_ + 1;
    if (failures_ < 2 || !live_)
        return Change::None;
    live_ = false;
    return Change::WentDown;
}

struct DownloadProber::Attempt {
    Attempt(asio::io_context& io, size_t i) : index(i), socket(io), deadline(io) {}
    size_t index;
    asio::ip::tcp::socket socket;
    asio::steady_timer deadline;
    std::vector<uint8_t> in;
    size_t used = 0;
    uint16_t localPort = 0;
    bool done = false;
    bool authenticated = false;
    IdeaKey sendKey, recvKey; // the session's, once authenticated
    std::vector<uint8_t> request;
    std::optional<messages::DownloadItem> item;
};

DownloadProber::DownloadProber(asio::io_context& io, std::vector<Endpoint> servers,
                               DownloadRotation& rotation, EventLog& log,
                               std::chrono::steady_clock::duration interval,
                               std::chrono::steady_clock::duration timeout, ProbeModule module,
                               Metrics* metrics)
    : io_(io), servers_(std::move(servers)), health_(servers_.size()), running_(servers_.size()),
      rotation_(rotation), log_(log), interval_(interval), timeout_(timeout), timer_(io),
      buffers_(std::make_unique<CodecBuffers>()), module_(std::move(module)), metrics_(metrics) {
    SetKey(fixedKey_, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
    SetKey(zeroKey_, nullptr, 0);
    uint8_t req[kAuthentReqSize];
    BuildAuthentRequest(req);
    request_.resize(kPacketAreaSize);
    request_.resize(EncodePacket(req, sizeof req, '4', fixedKey_, request_.data(), *buffers_));
    if (metrics_)
        for (const Endpoint& server : servers_)
            metrics_->SetServerUp(Name(server), true);
}

DownloadProber::~DownloadProber() {
    Stop();
}

void DownloadProber::Start() {
    stopped_ = false;
    Round();
}

void DownloadProber::Stop() {
    stopped_ = true;
    timer_.cancel();
    for (auto& w : running_)
        if (auto a = w.lock()) {
            a->done = true;
            asio::error_code ec;
            a->socket.close(ec);
            a->deadline.cancel();
        }
}

void DownloadProber::Round() {
    if (stopped_)
        return;
    for (size_t i = 0; i < servers_.size(); ++i) {
        // A finished attempt may linger until its cancelled handlers have run; it no longer counts.
        auto a = running_[i].lock();
        if (!a || a->done)
            Probe(i);
    }
    timer_.expires_after(interval_);
    timer_.async_wait([this](const asio::error_code& ec) {
        if (!ec)
            Round();
    });
}

void DownloadProber::Probe(size_t index) {
    auto a = std::make_shared<Attempt>(io_, index);
    running_[index] = a;
    asio::error_code ec;
    auto address = asio::ip::make_address_v4(servers_[index].address, ec);
    if (ec)
        return Finish(a, false, "not an address");
    a->socket.open(asio::ip::tcp::v4(), ec);
    if (!ec)
        a->socket.bind({asio::ip::address_v4::any(), 0}, ec);
    if (!ec)
        a->localPort = a->socket.local_endpoint(ec).port();
    if (ec)
        return Finish(a, false, "cannot open a socket: " + ec.message());
    if (metrics_)
        metrics_->probeConnections.fetch_add(1, std::memory_order_relaxed);
    a->deadline.expires_after(timeout_);
    a->deadline.async_wait([this, a](const asio::error_code& e) {
        if (!e)
            Finish(a, false, "no answer within " + Seconds(timeout_));
    });
    a->socket.async_connect({address, servers_[index].port},
                            [this, a](const asio::error_code& e) { OnConnected(a, e); });
}

void DownloadProber::OnConnected(const std::shared_ptr<Attempt>& a, const asio::error_code& ec) {
    if (a->done)
        return;
    if (ec)
        return Finish(a, false, "connect failed: " + ec.message());
    asio::async_write(a->socket, asio::buffer(request_), [this, a](const asio::error_code& e, size_t) {
        if (a->done)
            return;
        if (e)
            return Finish(a, false, "send failed: " + e.message());
        OnRead(a, {}, 0);
    });
}

void DownloadProber::OnRead(const std::shared_ptr<Attempt>& a, const asio::error_code& ec, size_t n) {
    if (a->done)
        return;
    if (ec)
        return Finish(a, false, ec == asio::error::eof ? "closed without an answer" : ec.message());
    a->used += n;
    while (a->used > 0 && !a->done) {
        DecodeResult r = DecodePacket(a->in.data(), a->used, fixedKey_,
                                      a->authenticated ? a->recvKey : zeroKey_, *buffers_);
        if (r.status == DecodeStatus::Drop)
            return Finish(a, false, "answered with bytes that are no packet");
        if (r.status == DecodeStatus::NeedMore)
            break;
        const size_t consumed = r.consumed;
        if (a->authenticated) {
            CheckDownloadAnswer(a, r.message, r.length);
        } else {
            AuthentAnswer answer;
            if (r.length < MessageHeader::kSize || PeekMsgType(r.message) != kMsgAuthentRsp ||
                !ReadAuthentAnswer(r.message, r.length, answer))
                return Finish(a, false, "answered with another message");
            if (answer.errorCode != 0)
                return Finish(a, false, "refused authentication with " + std::to_string(answer.errorCode));
            Authenticated(a, answer);
        }
        std::memmove(a->in.data(), a->in.data() + consumed, a->used - consumed);
        a->used -= consumed;
    }
    if (a->done)
        return;
    // An authentication answer is a few hundred bytes; a packet of the largest size is still read whole.
    if (a->used == a->in.size()) {
        if (a->in.size() >= kPacketHeaderSize + kMaxPayload)
            return Finish(a, false, "answer too long");
        a->in.resize(std::min(kPacketHeaderSize + kMaxPayload, std::max<size_t>(512, a->in.size() * 2)));
    }
    a->socket.async_read_some(asio::buffer(a->in.data() + a->used, a->in.size() - a->used),
                              [this, a](const asio::error_code& e, size_t got) { OnRead(a, e, got); });
}

void DownloadProber::Authenticated(const std::shared_ptr<Attempt>& a, const AuthentAnswer& answer) {
    a->item = module_ ? module_() : std::nullopt;
    if (!a->item)
        return Finish(a, true, "");
    // The installer sends with the first key of the answer and receives with the second.
    SetKey(a->sendKey, answer.sendKeyText.data(), unsigned(answer.sendKeyText.size()));
    SetKey(a->recvKey, answer.recvKeyText.data(), unsigned(answer.recvKeyText.size()));
    a->authenticated = true;
    const std::vector<uint8_t> msg = messages::EncodeFileDownloadRequest({&*a->item, 1});
    a->request.resize(kPacketAreaSize);
    a->request.resize(EncodePacket(msg.data(), msg.size(), '6', a->sendKey, a->request.data(), *buffers_));
    asio::async_write(a->socket, asio::buffer(a->request), [this, a](const asio::error_code& e, size_t) {
        if (!a->done && e)
            Finish(a, false, "send failed: " + e.message());
    });
}

void DownloadProber::CheckDownloadAnswer(const std::shared_ptr<Attempt>& a, const uint8_t* msg, size_t len) {
    if (len < MessageHeader::kSize)
        return Finish(a, false, "answered with a message shorter than a header");
    const uint16_t type = PeekMsgType(msg);
    if (type == kMsgHeartbeatRsp)
        return; // not ours, but harmless
    if (type != messages::kFileDownloadRsp)
        return Finish(a, false, "answered the download with message type " + std::to_string(type));
    const uint32_t error = wire::LoadU32(msg + MessageHeader::kErrorCodeOffset);
    const std::string module = a->item->ModuleName + " " + std::to_string(a->item->ModuleVerA) + "_" +
                               std::to_string(a->item->ModuleVerB);
    if (error == kErrorUnknownModule)
        return Finish(a, false, "answered error 21 for module " + module, true);
    Finish(a, true, "");
}

void DownloadProber::Finish(const std::shared_ptr<Attempt>& a, bool answered, const std::string& why,
                            bool definite) {
    if (a->done)
        return;
    a->done = true;
    asio::error_code ec;
    a->socket.close(ec);
    a->deadline.cancel();
    Note(a->index, answered, why, definite);
}

bool DownloadProber::FromProbe(uint16_t port) const {
    for (const auto& w : running_)
        if (auto a = w.lock(); a && !a->done && a->localPort == port)
            return true;
    return false;
}

void DownloadProber::Note(size_t index, bool answered, const std::string& why, bool definite) {
    if (index >= servers_.size())
        return;
    const ServerHealth::Change change = health_[index].Note(answered, definite);
    if (metrics_)
        metrics_->SetServerUp(Name(servers_[index]), health_[index].Live());
    switch (change) {
    case ServerHealth::Change::None:
        return;
    case ServerHealth::Change::WentDown: {
        const size_t up = rotation_.SetLive(index, false);
        if (definite)
            log_.Write("download server " + Name(servers_[index]) + " does not serve the modules on offer (" +
                       why + "): not handed out until it does");
        else
            log_.Write("download server " + Name(servers_[index]) + " failed two probes (" + why +
                       "): not handed out until it answers again");
        if (up == 0)
            log_.Write("no download server answers: handing out all " + std::to_string(servers_.size()) +
                       " in turn until one does");
        return;
    }
    case ServerHealth::Change::CameBack:
        rotation_.SetLive(index, true);
        log_.Write("download server " + Name(servers_[index]) + " answers again: handed out again");
        return;
    }
}

} // namespace publisher
