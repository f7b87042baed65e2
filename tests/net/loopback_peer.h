// A scripted peer for transport and session tests: a listener on 127.0.0.1 with a free port, and
// blocking helpers with generous deadlines (they bound a hang, they do not measure speed).
#pragma once

#include "net/idea.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testpeer {

class Connection {
  public:
    explicit Connection(intptr_t s) : s_(s) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Send(const void* data, size_t len);
    bool Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), bytes.size()); }
    // Reads exactly len bytes; false on close, error or after timeoutMs.
    bool ReadExact(uint8_t* out, size_t len, int timeoutMs = 5000);
    // Reads one packet and undoes its transform with `key`; false on a bad or missing packet.
    bool ReadPacket(std::vector<uint8_t>& msg, char& type, const IdeaKey& key, int timeoutMs = 5000) {
        return ReadPacket(msg, type, key, key, timeoutMs);
    }
    // The same with the receiver's two keys: types 3 and 4 are under fixedKey, 5 and 6 under sessionKey.
    bool ReadPacket(std::vector<uint8_t>& msg, char& type, const IdeaKey& fixedKey, const IdeaKey& sessionKey,
                    int timeoutMs);
    // True once the other side has closed (end of stream or reset) within timeoutMs.
    bool WaitClosed(int timeoutMs = 5000);
    // Ends both directions; a read blocked on another thread returns. The socket stays to be closed.
    void Shutdown();
    void Close();

  private:
    intptr_t s_;
};

class Listener {
  public:
    Listener(); // binds 127.0.0.1 on a free port
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    uint16_t port() const { return port_; }
    std::unique_ptr<Connection> Accept(int timeoutMs = 5000);
    void Close();

  private:
    intptr_t s_;
    uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
uint16_t RefusedPort();

// One packet of any type around msg: optional LZO, then IDEA under key for types 3 to 6.
std::vector<uint8_t> MakePacket(char type, const std::vector<uint8_t>& msg, const IdeaKey& key);

// A message of at least 74 bytes with the given id and error code; the rest is filled with `fill`.
std::vector<uint8_t> MakeMessage(uint16_t msgType, uint32_t errorCode, size_t len, uint8_t fill = 0);

} // namespace testpeer
