// The per-connection record shared by the codec and the session: the three keys, the endpoint, the
// user record of the login and the transport.
//
// Threads: the session keys are installed on the receive thread while any thread may be sending,
// so they are only read and written through the members below, under a lock.
#pragma once

#include "net/idea.h"
#include "net/session_messages.h"

#include <cstdint>
#include <mutex>
#include <string_view>

class TTcp;

class ProtocolContext {
  public:
    // fixedKey from the fixed key text; the session keys are the all-zero key until installed.
    ProtocolContext();
    ProtocolContext(const ProtocolContext&) = delete;
    ProtocolContext& operator=(const ProtocolContext&) = delete;

    IdeaKey fixedKey; // never changes after construction
    char ip[16] = {};
    uint16_t port = 0;
    uint8_t userRecord[UserRecord::kSize] = {};
    TTcp* tcp = nullptr; // not owned

    // Copies at most 15 characters of address.
    void SetEndpoint(const char* address, uint16_t portNumber);

    // Installs the keys an authentication answer hands out (only their first 16 bytes count).
    void InstallSessionKeys(std::string_view sendKeyText, std::string_view recvKeyText);
    IdeaKey SendKey() const;
    IdeaKey RecvKey() const;

  private:
    mutable std::mutex keyLock_;
    IdeaKey recvKey_;
    IdeaKey sendKey_;
};
