// POSIX sockets under the transport.
#include "net/socket_ops.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sockets {
namespace {

void SetBlocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return;
    fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

void SetInt(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

// poll() rather than select(): select cannot take descriptors at or above FD_SETSIZE.
int PollFor(int fd, short events, int timeoutMs, short& revents) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, timeoutMs);
        if (r >= 0) {
            revents = p.revents;
            return r;
        }
        if (errno != EINTR)
            return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        timeoutMs = left.count() > 0 ? int(left.count()) : 0;
    }
}

} // namespace

LibraryUse::LibraryUse() = default;
LibraryUse::~LibraryUse() = default;

Native OpenTcp() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? kInvalid : Native(fd);
}

bool ConnectWithin(Native s, const char* ip, uint16_t port, int timeoutMs) {
    int fd = int(s);
    SetBlocking(fd, false);
    SetInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetInt(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetInt(fd, IPPROTO_TCP, TCP_KEEPIDLE, 5);
    SetInt(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, 0x8000);
    SetInt(fd, SOL_SOCKET, SO_RCVBUF, 0xC800000);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    // Here the all-zero address would reach the local host; an unparsable text must simply fail.
    if (ip == nullptr || inet_pton(AF_INET, ip, &addr.sin_addr) != 1)
        return false;
    connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);

    short revents = 0;
    if (PollFor(fd, POLLOUT, timeoutMs, revents) != 1 || !(revents & POLLOUT))
        return false;
    // A refused connection is writable too; only a clear socket error means connected.
    int err = 0;
    socklen_t errLen = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0 || err != 0)
        return false;
    SetBlocking(fd, true);
    return true;
}

WaitResult WaitReadable(Native s, int timeoutMs) {
    short revents = 0;
    int r = PollFor(int(s), POLLIN, timeoutMs, revents);
    if (r == 0)
        return WaitResult::Timeout;
    if (r < 0 || (revents & POLLNVAL))
        return WaitResult::Error;
    return WaitResult::Ready;
}

long Receive(Native s, uint8_t* buf, size_t len) {
    for (;;) {
        ssize_t n = recv(int(s), buf, len, 0);
        if (n >= 0 || errno != EINTR)
            return long(n);
    }
}

bool SendAll(Native s, const uint8_t* buf, size_t len) {
    while (len != 0) {
        ssize_t n = send(int(s), buf, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        len -= size_t(n);
    }
    return true;
}

void ShutdownBoth(Native s) {
    shutdown(int(s), SHUT_RDWR);
}
void CloseNative(Native s) {
    close(int(s));
}

} // namespace sockets
