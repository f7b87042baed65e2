#include "loopback_peer.h"

#include "core/wire.h"
#include "net/lzo_codec.h"
#include "net/message_header.h"
#include "net/packet_codec.h"

#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SockLen = int;
static void CloseSock(intptr_t s) {
    closesocket(SOCKET(s));
}
static bool WaitIn(intptr_t s, int ms) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(SOCKET(s), &r);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, &r, nullptr, nullptr, &tv) > 0;
}
namespace {
struct WinsockUp {
    WinsockUp() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~WinsockUp() { WSACleanup(); }
} winsockUp;
} // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SockLen = socklen_t;
static void CloseSock(intptr_t s) {
    close(int(s));
}
static bool WaitIn(intptr_t s, int ms) {
    pollfd p{int(s), POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}
#endif

namespace testpeer {

Connection::~Connection() {
    Close();
}

void Connection::Shutdown() {
    if (s_ == -1)
        return;
#ifdef _WIN32
    shutdown(SOCKET(s_), SD_BOTH);
#else
    shutdown(int(s_), SHUT_RDWR);
#endif
}

void Connection::Close() {
    if (s_ != -1)
        CloseSock(s_);
    s_ = -1;
}

bool Connection::Send(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len != 0) {
#ifdef _WIN32
        int n = send(SOCKET(s_), p, int(len), 0);
#else
        ssize_t n = send(int(s_), p, len, MSG_NOSIGNAL);
#endif
        if (n <= 0)
            return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

bool Connection::ReadExact(uint8_t* out, size_t len, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (len != 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitIn(s_, int(left.count())))
            return false;
#ifdef _WIN32
        int n = recv(SOCKET(s_), reinterpret_cast<char*>(out), int(len), 0);
#else
        ssize_t n = recv(int(s_), out, len, 0);
#endif
        if (n <= 0)
            return false;
        out += n;
        len -= size_t(n);
    }
    return true;
}

bool Connection::ReadPacket(std::vector<uint8_t>& msg, char& type, const IdeaKey& fixedKey,
                            const IdeaKey& sessionKey, int timeoutMs) {
    uint8_t header[6];
    if (!ReadExact(header, 6, timeoutMs) || header[0] != '#')
        return false;
    uint32_t l = wire::LoadU32(header + 2);
    if (l == 0 || l > kMaxPayload)
        return false;
    std::vector<uint8_t> packet(6 + l);
    std::memcpy(packet.data(), header, 6);
    if (!ReadExact(packet.data() + 6, l, timeoutMs))
        return false;
    auto buffers = std::make_unique<CodecBuffers>();
    DecodeResult r = DecodePacket(packet.data(), packet.size(), fixedKey, sessionKey, *buffers);
    if (r.status != DecodeStatus::Message)
        return false;
    type = char(header[1]);
    msg.assign(r.message, r.message + r.length);
    return true;
}

bool Connection::WaitClosed(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t sink[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitIn(s_, int(left.count())))
            return false;
#ifdef _WIN32
        int n = recv(SOCKET(s_), reinterpret_cast<char*>(sink), sizeof sink, 0);
#else
        ssize_t n = recv(int(s_), sink, sizeof sink, 0);
#endif
        if (n <= 0)
            return true;
    }
}

Listener::Listener() {
#ifdef _WIN32
    s_ = intptr_t(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
#else
    s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#endif
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
#ifdef _WIN32
    bind(SOCKET(s_), reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(SOCKET(s_), 8);
    SockLen len = sizeof a;
    getsockname(SOCKET(s_), reinterpret_cast<sockaddr*>(&a), &len);
#else
    bind(int(s_), reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(int(s_), 8);
    SockLen len = sizeof a;
    getsockname(int(s_), reinterpret_cast<sockaddr*>(&a), &len);
#endif
    port_ = ntohs(a.sin_port);
}

Listener::~Listener() {
    Close();
}

void Listener::Close() {
    if (s_ != -1)
        CloseSock(s_);
    s_ = -1;
}

std::unique_ptr<Connection> Listener::Accept(int timeoutMs) {
    if (!WaitIn(s_, timeoutMs))
        return nullptr;
#ifdef _WIN32
    SOCKET c = accept(SOCKET(s_), nullptr, nullptr);
    if (c == INVALID_SOCKET)
        return nullptr;
#else
    int c = accept(int(s_), nullptr, nullptr);
    if (c < 0)
        return nullptr;
#endif
    return std::make_unique<Connection>(intptr_t(c));
}

uint16_t RefusedPort() {
    Listener l;
    uint16_t p = l.port();
    l.Close();
    return p;
}

std::vector<uint8_t> MakePacket(char type, const std::vector<uint8_t>& msg, const IdeaKey& key) {
    std::vector<uint8_t> payload = msg;
    if (type == '2' || type == '4' || type == '6') {
        auto work = std::make_unique<CodecBuffers>();
        payload.resize(msg.size() + msg.size() / 16 + 67);
        payload.resize(
            lzo_codec::Compress(msg.data(), msg.size(), payload.data(), payload.size(), work->work));
    }
    if (type >= '3' && type <= '6')
        EncryptBuffer(payload.data(), payload.data(), int32_t(payload.size()), key);
    std::vector<uint8_t> out(6 + payload.size());
    out[0] = '#';
    out[1] = uint8_t(type);
    wire::StoreU32(out.data() + 2, uint32_t(payload.size()));
    std::memcpy(out.data() + 6, payload.data(), payload.size());
    return out;
}

std::vector<uint8_t> MakeMessage(uint16_t msgType, uint32_t errorCode, size_t len, uint8_t fill) {
    std::vector<uint8_t> m(len < MessageHeader::kSize ? MessageHeader::kSize : len, fill);
    MessageHeader h;
    h.MsgType = msgType;
    h.ErrorCode = errorCode;
    h.RecCount = len > MessageHeader::kSize ? 1 : 0;
    h.RecSize = uint32_t(m.size() - MessageHeader::kSize);
    h.Encode(m.data());
    return m;
}

} // namespace testpeer
