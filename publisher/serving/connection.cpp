#include "publisher/serving/connection.h"

#include "core/wire.h"
#include "net/session_messages.h"
#include "publisher/ops/event_log.h"

#include <algorithm>
#include <cstring>

namespace publisher {
namespace {

// Room for the largest packet plus a whole second one. Once the session has taken every complete
// packet (at the latest when its answer queue has drained), an incomplete one never lacks space.
constexpr size_t kReadBufferSize = 2 * (kPacketHeaderSize + kMaxPayload);
// What a read asks for at least: most requests fit at once.
constexpr size_t kMinRead = 4096;
// Before authentication nothing but the installer's authentication request has a use, so a connection
// holds no more than its largest packet: the 119-byte request as LZO1X may at worst expand it.
constexpr size_t kMaxAuthentPacket = kPacketHeaderSize + kAuthentReqSize + kAuthentReqSize / 16 + 64 + 3;

std::string Seconds(std::chrono::steady_clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 1000.0)
               .substr(0, 6) +
           " s";
}

} // namespace

Connection::Connection(asio::ip::tcp::socket socket, Role role,
                       std::shared_ptr<const ServiceSettings> settings, EventLog& log, Scratch& scratch,
                       std::string tag, ConnectionPolicy policy, ConnectionHooks hooks)
    : socket_(std::move(socket)), deadline_(socket_.get_executor()), policy_(policy),
      hooks_(std::move(hooks)), log_(log), settings_(std::move(settings)),
      session_(role, *settings_, log, std::move(tag), scratch) {
    session_.Watch(hooks_.metrics, hooks_.quiet);
}

void Connection::Start() {
    asio::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    socket_.non_blocking(true, ec);
    if (!hooks_.quiet)
        log_.Limited("connected", kEventsPerSecond, session_.Tag() + " connected");
    connectedAt_ = lastActivity_ = lastProgress_ = std::chrono::steady_clock::now();
    WaitDeadline(Deadline());
    Read();
}

void Connection::Stop(const std::string& reason) {
    if (closed_)
        return;
    closed_ = true;
    if (!hooks_.quiet)
        log_.Limited("closed", kEventsPerSecond,
                     session_.Tag() + " closed: " + reason + " (" + std::to_string(bytesIn_) + " bytes in, " +
                         std::to_string(bytesOut_) + " bytes out)");
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    deadline_.cancel();
    if (streaming_ && hooks_.streaming)
        hooks_.streaming(false);
    streaming_ = false;
    if (hooks_.closed)
        hooks_.closed();
}

size_t Connection::BufferLimit() const {
    return session_.Authenticated() ? kReadBufferSize : kMaxAuthentPacket;
}

bool Connection::OversizedBeforeAuthentication() const {
    return !session_.Authenticated() && inUsed_ >= kPacketHeaderSize && in_[0] == kPacketMagic &&
           wire::LoadU32(in_.data() + 2) > kMaxAuthentPacket - kPacketHeaderSize;
}

void Connection::Read() {
    if (reading_ || closed_ || session_.Closing() || session_.QueueFull() || inUsed_ >= BufferLimit())
        return;
    // An unauthenticated peer gets one answer at a time: one that never reads holds nothing queued.
    if (!session_.Authenticated() && (writing_ || session_.QueuedBytes() != 0))
        return;
    reading_ = true;
    // Waiting holds no buffer; one is taken only once there are bytes to read.
    socket_.async_wait(asio::ip::tcp::socket::wait_read,
                       [self = shared_from_this()](const asio::error_code& ec) { self->OnReadable(ec); });
}

void Connection::OnReadable(const asio::error_code& waitError) {
    reading_ = false;
    if (closed_)
        return;
    if (waitError) {
        Stop("read failed: " + waitError.message());
        return;
    }
    asio::error_code ec;
    const size_t available = socket_.available(ec);
    const size_t limit = BufferLimit();
    const size_t room = limit - inUsed_;
    const size_t want = std::min(room, std::max(available, kMinRead));
    if (in_.size() < inUsed_ + want)
        in_.resize(std::min(limit, std::max(inUsed_ + want, in_.size() * 2)));
    const size_t n = socket_.read_some(asio::buffer(in_.data() + inUsed_, in_.size() - inUsed_), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        Read();
        return;
    }
    if (ec) {
        Stop(ec == asio::error::eof ? "closed by peer" : "read failed: " + ec.message());
        return;
    }
    bytesIn_ += n;
    inUsed_ += n;
    Process();
    if (OversizedBeforeAuthentication()) {
        log_.Limited("oversized before authentication", kComplaintsPerSecond,
                     session_.Tag() +
                         " sent a packet longer than an authentication request before authenticating");
        Stop("packet too long before authentication");
        return;
    }
    Write();
    Read();
}

void Connection::Process() {
    size_t used = session_.Receive(in_.data(), inUsed_);
    if (used > 0) {
        std::memmove(in_.data(), in_.data() + used, inUsed_ - used);
        inUsed_ -= used;
    }
    if (inUsed_ == 0)
        std::vector<uint8_t>().swap(in_);
    if (session_.ValidRequests() != requestsSeen_) {
        requestsSeen_ = session_.ValidRequests();
        lastActivity_ = std::chrono::steady_clock::now();
    }
    NoteStreaming();
    // Authenticating or sending the module list can bring the deadline forward.
    if (const auto due = Deadline(); due < deadline_.expiry())
        WaitDeadline(due);
}

void Connection::NoteStreaming() {
    if (session_.Streaming() == streaming_)
        return;
    streaming_ = session_.Streaming();
    if (hooks_.streaming)
        hooks_.streaming(streaming_);
}

void Connection::Write() {
    if (writing_ || closed_)
        return;
    const bool next = session_.NextPacket(out_);
    NoteStreaming();
    if (!next) {
        std::vector<uint8_t>().swap(out_);
        if (session_.Closing())
            Stop(session_.CloseReason());
        return;
    }
    writing_ = true;
    asio::async_write(
        socket_, asio::buffer(out_),
        [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->OnWrite(ec, n); });
}

void Connection::OnWrite(const asio::error_code& ec, size_t n) {
    writing_ = false;
    if (closed_)
        return;
    if (ec) {
        Stop("write failed: " + ec.message());
        return;
    }
    // The peer takes what it asked for: a long download is not idle.
    lastActivity_ = std::chrono::steady_clock::now();
    if (session_.DownloadMessages() != messagesSeen_) {
        messagesSeen_ = session_.DownloadMessages();
        lastProgress_ = lastActivity_;
    }
    bytesOut_ += n;
    if (hooks_.metrics)
        hooks_.metrics->wireBytesSent.fetch_add(n, std::memory_order_relaxed);
    // Packets held back while the answer queue was full.
    if (inUsed_ > 0 && !session_.QueueFull())
        Process();
    Write();
    Read();
}

std::chrono::steady_clock::time_point Connection::Deadline() const {
    if (!session_.Authenticated())
        return connectedAt_ + policy_.authLimit;
    if (session_.ModuleListSent())
        return lastActivity_ + std::max(policy_.idleLimit, policy_.holdLimit);
    if (Superseded())
        return lastProgress_ + policy_.idleLimit;
    return lastActivity_ + policy_.idleLimit;
}

bool Connection::Superseded() const {
    // Only download settings are ever marked: a check connection holds no messages.
    return settings_->superseded;
}

void Connection::WaitDeadline(std::chrono::steady_clock::time_point at) {
    deadline_.expires_at(at);
    deadline_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec)
            self->OnDeadline();
    });
}

void Connection::OnDeadline() {
    if (closed_)
        return;
    const auto now = std::chrono::steady_clock::now();
    const auto due = Deadline();
    if (now < due)
        return WaitDeadline(due);
    if (!session_.Authenticated()) {
        log_.Limited("not authenticated", kComplaintsPerSecond,
                     session_.Tag() + " not authenticated within " + Seconds(policy_.authLimit));
        return Stop("not authenticated in time");
    }
    if (session_.ModuleListSent() && hooks_.downloadRunning && hooks_.downloadRunning()) {
        // The installer's download from this address still runs; look again later.
        return WaitDeadline(now + std::min(policy_.idleLimit, policy_.holdLimit));
    }
    if (Superseded() && lastProgress_ < lastActivity_)
        return Stop("no download progress for " + Seconds(now - lastProgress_) +
                    " since the package was reloaded");
    Stop("idle for " + Seconds(now - lastActivity_));
}

} // namespace publisher
