#include "publisher/connection.h"

#include "publisher/event_log.h"

#include <cstring>

namespace publisher {
namespace {

// Room for the largest packet plus a whole second one. Once the session has taken every complete
// packet (at the latest when its answer queue has drained), an incomplete one never lacks space.
constexpr size_t kReadBufferSize = 2 * (kPacketHeaderSize + kMaxPayload);

} // namespace

Connection::Connection(asio::ip::tcp::socket socket, Role role, const ServiceSettings& settings,
                       EventLog& log, Scratch& scratch, std::string tag, std::chrono::seconds idleLimit,
                       std::function<void()> onClosed)
    : socket_(std::move(socket)), idleTimer_(socket_.get_executor()), idleLimit_(idleLimit), log_(log),
      session_(role, settings, log, std::move(tag), scratch), onClosed_(std::move(onClosed)),
      in_(kReadBufferSize) {}

void Connection::Start() {
    asio::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    log_.Write(session_.Tag() + " connected");
    lastActivity_ = std::chrono::steady_clock::now();
    WaitIdle();
    Read();
}

void Connection::Stop(const std::string& reason) {
    if (closed_)
        return;
    closed_ = true;
    log_.Write(session_.Tag() + " closed: " + reason + " (" + std::to_string(bytesIn_) + " bytes in, " +
               std::to_string(bytesOut_) + " bytes out)");
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    idleTimer_.cancel();
    if (onClosed_)
        onClosed_();
}

void Connection::Read() {
    if (reading_ || closed_ || session_.Closing() || session_.QueueFull() || inUsed_ == in_.size())
        return;
    reading_ = true;
    socket_.async_read_some(
        asio::buffer(in_.data() + inUsed_, in_.size() - inUsed_),
        [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->OnRead(ec, n); });
}

void Connection::OnRead(const asio::error_code& ec, size_t n) {
    reading_ = false;
    if (closed_)
        return;
    if (ec) {
        Stop(ec == asio::error::eof ? "closed by peer" : "read failed: " + ec.message());
        return;
    }
    lastActivity_ = std::chrono::steady_clock::now();
    bytesIn_ += n;
    inUsed_ += n;
    Process();
    Write();
    Read();
}

void Connection::Process() {
    size_t used = session_.Receive(in_.data(), inUsed_);
    if (used > 0) {
        std::memmove(in_.data(), in_.data() + used, inUsed_ - used);
        inUsed_ -= used;
    }
}

void Connection::Write() {
    if (writing_ || closed_)
        return;
    if (!session_.NextPacket(out_)) {
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
    lastActivity_ = std::chrono::steady_clock::now();
    bytesOut_ += n;
    // Packets held back while the answer queue was full.
    if (inUsed_ > 0 && !session_.QueueFull())
        Process();
    Write();
    Read();
}

void Connection::WaitIdle() {
    idleTimer_.expires_at(lastActivity_ + idleLimit_);
    idleTimer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (ec || self->closed_)
            return;
        if (std::chrono::steady_clock::now() - self->lastActivity_ >= self->idleLimit_)
            self->Stop("idle for " + std::to_string(self->idleLimit_.count()) + " s");
        else
            self->WaitIdle();
    });
}

} // namespace publisher
