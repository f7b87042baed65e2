#include "net/tcp.h"

#include <algorithm>
#include <cstring>

TTcp::TTcp() : buffer_(new uint8_t[kBufferSize]) {}

TTcp::~TTcp() {
    Shutdown();
}

bool TTcp::IsConnected() const {
    std::lock_guard<std::mutex> lock(state_);
    return connected_;
}

bool TTcp::HasSocket() const {
    std::lock_guard<std::mutex> lock(state_);
    return sock_ != nullptr;
}

int32_t TTcp::Connect(const char* ip, uint16_t port) {
    if (HasSocket())
        return kAlreadyOpen;
    auto handle = std::make_shared<sockets::SocketHandle>(sockets::OpenTcp());
    if (handle->get() == sockets::kInvalid)
        return kNoSocket;
    if (!sockets::ConnectWithin(handle->get(), ip, port, kConnectTimeoutMs)) {
        handle.reset();
        if (notify != nullptr)
            notify->OnDisconnect(*this);
        return kNotAccepted;
    }
    uint64_t gen;
    {
        std::lock_guard<std::mutex> lock(state_);
        if (sock_ != nullptr)
            return kAlreadyOpen; // another thread connected meanwhile; ours closes unused
        sock_ = handle;
        connected_ = true;
        readable_ = false;
        gen = ++generation_;
    }
    if (notify != nullptr)
        notify->OnConnect(*this);
    ClearStop();
    {
        std::lock_guard<std::mutex> lock(state_);
        if (generation_ == gen && sock_ != nullptr)
            readable_ = true;
    }
    // A connection nobody reads from would hang its peer: without a receive thread it is closed
    // and reported like any failed attempt.
    if (!Start()) {
        CloseGeneration(gen);
        return kNotAccepted;
    }
    Wake();
    return kConnected;
}

bool TTcp::DropSocket(uint64_t gen, bool anyGeneration) {
    std::shared_ptr<sockets::SocketHandle> s;
    {
        std::lock_guard<std::mutex> lock(state_);
        if (sock_ == nullptr || (!anyGeneration && generation_ != gen))
            return false;
        s = std::move(sock_);
        connected_ = false;
        readable_ = false;
    }
    // Wakes a reader or sender still using the socket; it is closed when the last of them lets go.
    sockets::ShutdownBoth(s->get());
    return true;
}

void TTcp::Close() {
    if (DropSocket(0, true) && notify != nullptr)
        notify->OnDisconnect(*this);
    Wake();
}

void TTcp::CloseGeneration(uint64_t gen) {
    if (DropSocket(gen, false) && notify != nullptr)
        notify->OnDisconnect(*this);
}

void TTcp::Shutdown() {
    RequestStop();
    DropSocket(0, true);
    StopAndJoin();
}

void TTcp::Send(const uint8_t* buf, int32_t len) {
    if (buf == nullptr || len <= 0)
        return;
    std::shared_ptr<sockets::SocketHandle> s;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> lock(state_);
        if (!connected_)
            return;
        s = sock_;
        gen = generation_;
    }
    bool sent;
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        sent = sockets::SendAll(s->get(), buf, size_t(len));
    }
    if (!sent)
        CloseGeneration(gen);
}

void TTcp::Run() {
    int32_t parsePos = 0, fillPos = 0;
    uint64_t seen = 0;
    auto publish = [&] {
        parsePos_.store(parsePos);
        fillPos_.store(fillPos);
    };
    publish();
    while (!StopRequested()) {
        std::shared_ptr<sockets::SocketHandle> s;
        uint64_t gen = 0;
        {
            std::lock_guard<std::mutex> lock(state_);
            if (readable_) {
                s = sock_;
                gen = generation_;
            }
        }
        if (s == nullptr || gen != seen) {
            // Bytes of an earlier connection are never offered for a new one.
            parsePos = fillPos = 0;
            publish();
            seen = gen;
            if (s == nullptr) {
                WaitFor(std::chrono::milliseconds(kIdleWaitMs));
                continue;
            }
        }
        sockets::WaitResult w = sockets::WaitReadable(s->get(), kReadWaitMs);
        if (w == sockets::WaitResult::Timeout)
            continue;
        bool failed = w == sockets::WaitResult::Error || fillPos >= kBufferSize;
        if (!failed) {
            long n = sockets::Receive(s->get(), buffer_.get() + fillPos, size_t(kBufferSize - fillPos));
            failed = n <= 0;
            if (!failed)
                fillPos += int32_t(n);
        }
        if (!failed && notify != nullptr) {
            s.reset(); // the event may close this connection; do not keep it alive meanwhile
            int32_t unconsumed = fillPos - parsePos;
            int32_t r = notify->OnReceive(*this, buffer_.get() + parsePos, unconsumed);
            if (r < 0) {
                failed = true;
            } else {
                parsePos += std::min(r, unconsumed);
                if (parsePos >= fillPos) {
                    parsePos = fillPos = 0;
                } else if (parsePos >= kCompactAt) {
                    std::memmove(buffer_.get(), buffer_.get() + parsePos, size_t(fillPos - parsePos));
                    fillPos -= parsePos;
                    parsePos = 0;
                }
            }
        }
        publish();
        if (failed)
            CloseGeneration(gen);
    }
}
