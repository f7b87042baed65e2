// The socket calls of the transport, one small implementation per platform (socket_posix.cpp,
// socket_win.cpp). Everything above this seam is portable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sockets {

using Native = intptr_t;
constexpr Native kInvalid = -1;

// Keeps the platform's socket library initialised while it lives (Winsock start-up and clean-up).
class LibraryUse {
  public:
    LibraryUse();
    ~LibraryUse();
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;

  private:
    bool started_ = false;
};

// An IPv4 TCP socket, or kInvalid.
Native OpenTcp();

// Non-blocking connect with the transport's options (no delay, keep-alive after 5 s every 5 s,
// 32 KiB send buffer, 200 MiB receive buffer), waiting at most timeoutMs. On success the socket is
// back in blocking mode. A text that is not a dotted IPv4 address fails without an attempt.
bool ConnectWithin(Native s, const char* ip, uint16_t port, int timeoutMs);

enum class WaitResult { Ready, Timeout, Error };
// Waits until s is readable (data, end of stream or an error to collect), at most timeoutMs.
WaitResult WaitReadable(Native s, int timeoutMs);

// One read: > 0 bytes read, 0 end of stream, < 0 error.
long Receive(Native s, uint8_t* buf, size_t len);

// Blocking send of all len bytes; false on any error. Never raises a signal.
bool SendAll(Native s, const uint8_t* buf, size_t len);

// Ends both directions, waking any thread blocked on s.
void ShutdownBoth(Native s);
void CloseNative(Native s);

// Owns one socket; closes it when the last user lets go.
class SocketHandle {
  public:
    explicit SocketHandle(Native s) : s_(s) {}
    ~SocketHandle() {
        if (s_ != kInvalid)
            CloseNative(s_);
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    Native get() const { return s_; }

  private:
    Native s_;
};

} // namespace sockets
