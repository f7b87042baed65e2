#include "scripted_peer.h"

#include "net/idea.h"
#include "net/message_header.h"
#include "net/packet_codec.h"
#include "net/session_messages.h"
#include "net/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace {

// Key texts from the installer's point of view: it sends under the first, receives under the second.
constexpr std::string_view kInstallerSendKey = "send-key-0123456";
constexpr std::string_view kInstallerRecvKey = "recv-key-6543210";

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

struct Keys {
    IdeaKey fixed{}, installerSend{}, installerRecv{};
    Keys() {
        SetKey(fixed, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
        SetKey(installerSend, kInstallerSendKey.data(), unsigned(kInstallerSendKey.size()));
        SetKey(installerRecv, kInstallerRecvKey.data(), unsigned(kInstallerRecvKey.size()));
    }
};

const Keys& TheKeys() {
    static const Keys keys;
    return keys;
}

} // namespace

ScriptedPeer::ScriptedPeer(Script script, Options options) : script_(std::move(script)), options_(options) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("scripted peer: cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        if (connFd_ >= 0)
            ::shutdown(connFd_, SHUT_RDWR);
    }
    ::shutdown(listenFd_, SHUT_RDWR); // wakes accept
    thread_.join();
    ::close(listenFd_);
}

void ScriptedPeer::Serve() {
    for (;;) {
        int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0)
            return;
        {
            std::lock_guard guard(lock_);
            if (stopping_) {
                ::close(fd);
                return;
            }
            connFd_ = fd;
            ++connections_;
        }
        ServeConnection(fd);
        std::lock_guard guard(lock_);
        if (connFd_ >= 0)
            ::close(connFd_);
        connFd_ = -1;
        if (stopping_)
            return;
    }
}

void ScriptedPeer::ServeConnection(int fd) {
    auto buffers = std::make_unique<CodecBuffers>();
    std::vector<uint8_t> stream;
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return;
        stream.insert(stream.end(), chunk, chunk + n);
        for (;;) {
            DecodeResult r = DecodePacket(stream.data(), stream.size(), TheKeys().fixed,
                                          TheKeys().installerSend, *buffers);
            if (r.status == DecodeStatus::NeedMore)
                break;
            if (r.status == DecodeStatus::Drop)
                return;
            std::vector<uint8_t> msg(r.message, r.message + r.length);
            stream.erase(stream.begin(), stream.begin() + std::ptrdiff_t(r.consumed));
            uint16_t type = msg.size() >= MessageHeader::kSize ? PeekMsgType(msg.data()) : 0;
            if (type == kMsgAuthentReq) {
                std::vector<uint8_t> answer(kAuthentRspSize);
                BuildAuthentResponse(options_.authError, kInstallerSendKey, 0, kInstallerRecvKey,
                                     answer.data());
                auto packet = std::make_unique<uint8_t[]>(kPacketAreaSize);
                size_t len =
                    EncodePacket(answer.data(), answer.size(), '4', TheKeys().fixed, packet.get(), *buffers);
                WriteAll(fd, packet.get(), len);
                for (const auto& early : options_.afterAuthent)
                    Reply(early);
            } else if (type == kMsgLoginReq) {
                std::vector<uint8_t> answer(MessageHeader::kSize);
                BuildLoginResponse(options_.loginError, nullptr, 0, answer.data(), answer.size());
                Reply(answer);
            } else {
                {
                    std::lock_guard guard(lock_);
                    requests_.push_back(msg);
                }
                script_(*this, msg);
            }
            std::lock_guard guard(lock_);
            if (connFd_ < 0)
                return;
        }
    }
}

std::vector<uint8_t> ScriptedPeer::Packet(const std::vector<uint8_t>& message) {
    auto buffers = std::make_unique<CodecBuffers>();
    auto packet = std::make_unique<uint8_t[]>(kPacketAreaSize);
    size_t len =
        EncodePacket(message.data(), message.size(), '6', TheKeys().installerRecv, packet.get(), *buffers);
    if (len == 0)
        throw std::runtime_error("scripted peer: message cannot be encoded");
    return std::vector<uint8_t>(packet.get(), packet.get() + len);
}

void ScriptedPeer::Reply(const std::vector<uint8_t>& message) {
    SendRaw(Packet(message));
}

bool ScriptedPeer::SendRaw(const std::vector<uint8_t>& bytes) {
    int fd;
    {
        std::lock_guard guard(lock_);
        fd = connFd_;
    }
    return fd >= 0 && WriteAll(fd, bytes.data(), bytes.size());
}

void ScriptedPeer::CloseConnection() {
    std::lock_guard guard(lock_);
    if (connFd_ >= 0) {
        ::shutdown(connFd_, SHUT_RDWR);
        ::close(connFd_);
        connFd_ = -1;
    }
}

std::vector<std::vector<uint8_t>> ScriptedPeer::Requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

int ScriptedPeer::Connections() const {
    std::lock_guard guard(lock_);
    return connections_;
}
