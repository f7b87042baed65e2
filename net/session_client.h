// What a protocol session calls on its client: the six event slots, and two notes about the link that
// the client keeps for itself (traffic seen, link gone). Declared here so that the session depends on no
// client; the service clients implement it (service/process_client.h).
//
// Threads: the slots and NoteTraffic run on the transport's receive thread; LinkDown runs on the thread
// that closed the link (the receive thread, or the caller of a failed connect or of a stop).
#pragma once

#include <cstddef>
#include <cstdint>

class SessionClient {
  public:
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

    // Bytes arrived on the link.
    virtual void NoteTraffic() = 0;
    // Bytes arrived that are no packet of this protocol, and were dropped.
    virtual void NoteDropped() {}
    // The link went down; the client ends its run and then raises slot 1.
    virtual void LinkDown(const char* text, int code) = 0;

  protected:
    ~SessionClient() = default; // never deleted through the session
};
