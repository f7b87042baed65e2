// One accepted TCP connection: moves bytes between its socket and its Session on its serving thread,
// the one whose io_context made the socket; everything below runs there.
//
// Back-pressure: the next download message is built only when the previous one has been written, and
// neither the buffered packets nor the socket are read while answers pile up unwritten, so a peer that
// never reads holds at most one message, a bounded queue and the read buffer.
//
// Memory: an idle connection holds no buffer. The socket is first only waited on; the read buffer
// exists while bytes of an unfinished packet are held, the write buffer while a message is in flight.
//
// Before authentication a connection holds at most one authentication packet and one answer at a time,
// and a packet header announcing more closes it.
//
// Deadlines (ConnectionPolicy): a connection must authenticate within authLimit of connecting. After
// that it ends once idleLimit passes without a whole valid request or a completed write; bytes that
// make no request do not count. A check connection that was sent its module list waits for the
// installer's download instead: it stays open for holdLimit, and beyond while a download from its
// address runs. A download connection whose package was replaced by a reload ends once idleLimit
// passes without a download message written, whatever else it sends.
#pragma once

#include "publisher/serving/session.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace publisher {

struct ConnectionPolicy {
    std::chrono::steady_clock::duration authLimit = std::chrono::seconds(10);
    std::chrono::steady_clock::duration idleLimit = std::chrono::minutes(30);
    std::chrono::steady_clock::duration holdLimit = std::chrono::hours(24);
};

// What a connection asks of and tells the server, from its serving thread: the server locks.
struct ConnectionHooks {
    std::function<void()> closed;
    std::function<void(bool)> streaming;   // a download started (true) or ended (false)
    std::function<bool()> downloadRunning; // whether a download from this connection's address runs
    Metrics* metrics = nullptr;            // counts what the connection sends and answers; null: none
    bool quiet = false;                    // the check service's own probe: no routine log lines
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(asio::ip::tcp::socket socket, Role role, std::shared_ptr<const ServiceSettings> settings,
               EventLog& log, Scratch& scratch, std::string tag, ConnectionPolicy policy,
               ConnectionHooks hooks);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start();
    // Closes the socket now; pending operations finish with an error and drop their hold on this.
    void Stop(const std::string& reason);

  private:
    // What the read buffer may hold: the largest authentication packet until the link is authenticated.
    size_t BufferLimit() const;
    bool OversizedBeforeAuthentication() const;
    void Read();
    void OnReadable(const asio::error_code& ec);
    // Hands the buffered bytes to the session and keeps what it did not take.
    void Process();
    void Write();
    void OnWrite(const asio::error_code& ec, size_t n);
    void NoteStreaming();
    std::chrono::steady_clock::time_point Deadline() const;
    bool Superseded() const;
    void WaitDeadline(std::chrono::steady_clock::time_point at);
    void OnDeadline();

    asio::ip::tcp::socket socket_;
    asio::steady_timer deadline_;
    ConnectionPolicy policy_;
    ConnectionHooks hooks_;
    std::chrono::steady_clock::time_point connectedAt_;
    std::chrono::steady_clock::time_point lastActivity_;
    std::chrono::steady_clock::time_point lastProgress_; // a download message written, or connected
    uint64_t messagesSeen_ = 0;
    EventLog& log_;
    std::shared_ptr<const ServiceSettings> settings_; // outlives session_: a reload swaps the server's
    Session session_;

    std::vector<uint8_t> in_;
    size_t inUsed_ = 0;
    std::vector<uint8_t> out_;
    bool reading_ = false;
    bool writing_ = false;
    bool closed_ = false;
    bool streaming_ = false;
    uint64_t requestsSeen_ = 0;
    uint64_t bytesIn_ = 0;
    uint64_t bytesOut_ = 0;
};

} // namespace publisher
