// A scripted publishing service for the client tests: listens on 127.0.0.1 (a free port), answers the
// link authentication and the login itself, and hands every other request to the test's script, which
// answers with Reply, sends raw bytes or closes the connection. Connections are served one at a time.
#pragma once

#include "loopback_peer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedPeer {
  public:
    using Script = std::function<void(ScriptedPeer& peer, const std::vector<uint8_t>& request)>;
    struct Options {
        uint32_t authError = 0;
        uint32_t loginError = 0;
        // Messages sent right behind the authentication answer, before any request arrives.
        std::vector<std::vector<uint8_t>> afterAuthent = {};
    };

    explicit ScriptedPeer(Script script) : ScriptedPeer(std::move(script), Options{}) {}
    ScriptedPeer(Script script, Options options);
    ~ScriptedPeer(); // closes everything and joins its thread
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return port_; }

    // From the script (peer thread): answer with a message as a type '6' packet under the session key.
    void Reply(const std::vector<uint8_t>& message);
    // The packet Reply would send for message, for scripts that send it their own way.
    static std::vector<uint8_t> Packet(const std::vector<uint8_t>& message);
    // From the script: bytes straight onto the stream; false once the connection is gone.
    bool SendRaw(const std::vector<uint8_t>& bytes);
    // From the script: close the current connection.
    void CloseConnection();

    // Requests the script was given so far (authentication and login excluded), from any thread.
    std::vector<std::vector<uint8_t>> Requests() const;
    int Connections() const;

  private:
    void Serve();
    void ServeConnection(testpeer::Connection& connection);

    Script script_;
    Options options_;
    testpeer::Listener listener_;
    uint16_t port_ = 0;
    mutable std::mutex lock_;
    // The connection being served: made and dropped by the peer thread, shut down by the destructor.
    std::unique_ptr<testpeer::Connection> connection_;
    bool closed_ = false; // the script closed connection_
    bool stopping_ = false;
    int connections_ = 0;
    std::vector<std::vector<uint8_t>> requests_;
    std::thread thread_;
};
