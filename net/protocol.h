// Protocol: the session between a service client and the transport. It opens the connection, runs
// the link authentication (which hands out the two session keys), sends the login the client asks
// for, and turns every decoded message into one call on the client.
//
// Threads: Open, and therefore the authentication request, run on the caller's thread;
// HandleMessage and every client call it makes run on the transport's receive thread, one message
// at a time. The fields below are atomics because the interface thread, the receive thread and
// the heartbeat loop all touch them.
//
// Once the link has gone down nothing more of that connection reaches the client: messages still
// buffered behind a close (by Stop, or by a client that refused an answer) are dropped.
#pragma once

#include "net/message_header.h"
#include "net/packet_codec.h"
#include "net/packet_io.h"
#include "net/session_messages.h"
#include "net/thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class ProtocolContext;
class SessionClient;

// The text (code page 936) and code every disconnection report carries.
extern const char kLinkErrorText[];   // 8 bytes: "proxy error"
extern const char kLinkTimeoutText[]; // 8 bytes: "connection timed out"
constexpr int kLinkErrorCode = 9;
constexpr int kLinkTimeoutCode = 8;

class Protocol : public TThread, public MessageSink {
  public:
    Protocol();
    ~Protocol() override;

    ProtocolContext* ctx = nullptr;  // not owned
    SessionClient* client = nullptr; // not owned
    std::atomic<bool> linkUp{false};
    std::atomic<int32_t> unanswered{0};
    std::atomic<int32_t> heartbeatSeconds{0};

    // With a user record: stores it in ctx and connects the transport; true when connected. Without
    // one nothing connects. Either way the endpoint is written to the install log.
    bool Open(ProtocolContext* context, const UserRecord* rec);
    void SendAuthentLink();
    void SendLogin(ProtocolContext* context);
    void SendHeartbeat();

    // Receive thread. Messages shorter than the header, and authentication answers too short for
    // what they must carry, are ignored.
    void HandleMessage(const uint8_t* msg, size_t len) override;
    void OnDropped() override;
    // Receive thread: the transport's unconsumed bytes; returns how many to drop.
    size_t ParsePackets(const uint8_t* data, size_t len);

    // The transport's connection events, forwarded by TcpSocket.
    void OnLinkUp();
    void OnLinkDown();

    // True while the link is down and no call into the client is under way: the objects may then be
    // retired without a handler of theirs still reading its client's connection. Any thread.
    bool Quiet() const;

  private:
    // The heartbeat loop. Nothing in the installer starts it; it pauses while the link is down or
    // no interval is known.
    void Run() override;
    // The call on the client that a message stands for.
    void Dispatch(const uint8_t* msg, size_t len);
    // Counts a call into the client (the loss report included, as the link goes down); false once the
    // link has gone down, when the call must not be made.
    bool BeginDelivery(bool linkGoingDown);
    void EndDelivery();

    std::unique_ptr<CodecBuffers> receiveBuffers_;
    mutable std::mutex gate_; // orders the link's changes with the deliveries counted below
    bool linkClosed_ = false; // the link went down and has not come up again
    int deliveries_ = 0;
};
