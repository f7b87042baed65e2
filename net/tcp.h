// TTcp: one outgoing IPv4 TCP connection with its own receive thread.
//
// Threads: Connect, Send and Close may be called from any thread, including from inside the
// events. OnConnect runs on the thread that called Connect, before the receive thread reads
// anything of the new connection; OnReceive runs on the receive thread; OnDisconnect runs on the
// thread whose call (or whose failed read) closed the socket. No lock is held while an event runs.
// The receive thread starts with the first successful Connect and lives until Shutdown or the
// destructor, idling while no socket is open.
#pragma once

#include "net/socket_ops.h"
#include "net/thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class TTcp : public TThread {
  public:
    class TNotify {
      public:
        virtual void OnConnect(TTcp& tcp) = 0;
        virtual void OnDisconnect(TTcp& tcp) = 0;
        // data is every unconsumed byte; returns how many were consumed from the front (0..len), or a
        // negative number to close the connection.
        virtual int32_t OnReceive(TTcp& tcp, const uint8_t* data, int32_t len) = 0;

      protected:
        ~TNotify() = default;
    };

    static constexpr int32_t kBufferSize = 0xA00000; // 10 MiB
    static constexpr int32_t kCompactAt = 0x500000;  // move the unconsumed rest once 5 MiB are consumed
    static constexpr int kConnectTimeoutMs = 1000;
    static constexpr int kReadWaitMs = 300;
    static constexpr int kIdleWaitMs = 100;

    enum ConnectResult : int32_t { kConnected = 0, kAlreadyOpen = 1, kNoSocket = 2, kNotAccepted = 3 };

    TTcp();
    // Stops and joins the receive thread and closes the socket, without an event.
    ~TTcp() override;

    // Set before the first Connect; not owned.
    TNotify* notify = nullptr;

    int32_t Connect(const char* ip, uint16_t port);
    // Harmless when no socket is open (no event then).
    void Close();
    // One whole packet; concurrent calls never interleave. A failed send closes the connection.
    void Send(const uint8_t* buf, int32_t len);
    // Stops the receive thread and drops the socket without raising OnDisconnect: for owners that
    // are going away and must not be called back.
    void Shutdown();

    bool IsConnected() const;
    bool HasSocket() const;

    // The receive positions as the receive thread last left them, and the buffer they index.
    int32_t ParsePos() const { return parsePos_.load(); }
    int32_t FillPos() const { return fillPos_.load(); }
    const uint8_t* Buffer() const { return buffer_.get(); }

  private:
    void Run() override;
    // Closes only if the connection of generation `gen` is still the open one.
    void CloseGeneration(uint64_t gen);
    bool DropSocket(uint64_t gen, bool anyGeneration);

    sockets::LibraryUse library_;
    mutable std::mutex state_; // guards the four fields below
    std::shared_ptr<sockets::SocketHandle> sock_;
    bool connected_ = false;
    bool readable_ = false; // the receive thread may read: set once OnConnect has returned
    uint64_t generation_ = 0;
    std::mutex sendLock_;

    std::unique_ptr<uint8_t[]> buffer_; // kBufferSize bytes, used by the receive thread only
    std::atomic<int32_t> parsePos_{0};
    std::atomic<int32_t> fillPos_{0};
};
