// Winsock under the transport.
#include "net/socket_ops.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

namespace sockets {
namespace {

SOCKET S(Native s) {
    return static_cast<SOCKET>(s);
}

void SetInt(SOCKET s, int level, int name, int value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

timeval Timeout(int ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

} // namespace

LibraryUse::LibraryUse() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

LibraryUse::~LibraryUse() {
    if (started_)
        WSACleanup();
}

Native OpenTcp() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kInvalid : Native(s);
}

bool ConnectWithin(Native native, const char* ip, uint16_t port, int timeoutMs) {
    SOCKET s = S(native);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    SetInt(s, IPPROTO_TCP, TCP_NODELAY, 1);
    SetInt(s, SOL_SOCKET, SO_KEEPALIVE, 1);
    tcp_keepalive values{1, 5000, 5000};
    tcp_keepalive unused{};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, &unused, sizeof unused, &returned, nullptr,
             nullptr);
    SetInt(s, SOL_SOCKET, SO_SNDBUF, 0x8000);
    SetInt(s, SOL_SOCKET, SO_RCVBUF, 0xC800000);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (ip == nullptr || inet_pton(AF_INET, ip, &addr.sin_addr) != 1)
        return false;
    connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);

    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv = Timeout(timeoutMs);
    if (select(0, nullptr, &writable, &failed, &tv) <= 0 || !FD_ISSET(s, &writable))
        return false;
    int err = 0;
    int errLen = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &errLen) != 0 || err != 0)
        return false;
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return true;
}

WaitResult WaitReadable(Native native, int timeoutMs) {
    SOCKET s = S(native);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv = Timeout(timeoutMs);
    int r = select(0, &readable, nullptr, nullptr, &tv);
    if (r == 0)
        return WaitResult::Timeout;
    return r < 0 ? WaitResult::Error : WaitResult::Ready;
}

long Receive(Native s, uint8_t* buf, size_t len) {
    int want = len > 0x7FFFFFFF ? 0x7FFFFFFF : int(len);
    return recv(S(s), reinterpret_cast<char*>(buf), want, 0);
}

bool SendAll(Native s, const uint8_t* buf, size_t len) {
    while (len != 0) {
        int chunk = len > 0x7FFFFFFF ? 0x7FFFFFFF : int(len);
        int n = send(S(s), reinterpret_cast<const char*>(buf), chunk, 0);
        if (n <= 0)
            return false;
        buf += n;
        len -= size_t(n);
    }
    return true;
}

void ShutdownBoth(Native s) {
    shutdown(S(s), SD_BOTH);
}
void CloseNative(Native s) {
    closesocket(S(s));
}

} // namespace sockets
