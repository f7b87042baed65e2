// ProcessClient: the common base of the installer's two service clients. It owns one connection
// (context, transport and session) and receives the session's events through six virtual slots.
//
// Threads: Prepare, SetServer, Connect and Stop belong to the interface thread. The slots run on
// the transport's receive thread, except OnClientDisconnect for a failed Connect or for Stop, which
// runs on the thread that made the call.
//
// Destruction: the installer never destroys a client, but a derived class must call Shutdown()
// first thing in its own destructor, so that no event can arrive while it is half gone.
#pragma once

#include "net/protocol.h"
#include "net/protocol_context.h"
#include "net/tcp_socket.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class ProcessClient {
  public:
    ProcessClient();
    virtual ~ProcessClient();
    ProcessClient(const ProcessClient&) = delete;
    ProcessClient& operator=(const ProcessClient&) = delete;

    // Slot 0: every message that is not 2, 18, 12305 or 12307; the whole message, header included.
    virtual void OnMessage(const uint8_t* msg, size_t len) = 0;
    // Slot 1: the connection failed, was lost or was closed; text in code page 936.
    virtual void OnClientDisconnect(const char* text, int code) = 0;
    // Slot 2: only the heartbeat loop, which nothing starts, calls it.
    virtual void OnHeartbeatLost() {}
    // Slot 3: the login answer; body is the message from offset 74, bodyLength bytes.
    virtual void OnLogin(uint32_t errorCode, const uint8_t* body, size_t bodyLength) = 0;
    // Slot 4: a server notice and its message length.
    virtual void OnServerNotice(uint32_t errorCode, size_t length) {
        (void)errorCode;
        (void)length;
    }
    // Slot 5: the authentication answer, after the session keys are installed (on success).
    virtual void OnAuthentLink(uint32_t errorCode) = 0;

    // New context (fixed key built), socket and protocol. Those of an earlier call are kept, not
    // freed, until the client goes: their threads may still be calling in.
    void Prepare();
    // Prepare, wire the objects together, then store the endpoint: true when address is given and
    // the low 16 bits of port are not 0 (at most 15 characters of address are kept).
    bool SetServer(const char* address, uint32_t port);
    // Opens the session with the login user record; true when the TCP connection is up (the
    // authentication request has then been sent).
    bool Connect();
    // Closes the connection if one is open, which reports OnClientDisconnect before returning.
    void Stop();
    // Stops every thread of every connection this client made and drops the sockets, without
    // further events. Idempotent.
    void Shutdown();

    std::unique_ptr<ProtocolContext> context;
    std::unique_ptr<TcpSocket> socket;
    std::unique_ptr<Protocol> protocol;

  private:
    struct Retired {
        std::unique_ptr<ProtocolContext> context;
        std::unique_ptr<TcpSocket> socket;
        std::unique_ptr<Protocol> protocol;
    };
    std::vector<Retired> retired_;
};
