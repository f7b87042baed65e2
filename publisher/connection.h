// One accepted TCP connection: moves bytes between its socket and its Session on the serving thread.
//
// Back-pressure: the next download message is built only when the previous one has been written, and
// neither the buffered packets nor the socket are read while answers pile up unwritten, so a peer that
// never reads holds at most one message, a bounded queue and the read buffer. A connection with no completed
// read or write for the idle limit ends.
#pragma once

#include "publisher/session.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace publisher {

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(asio::ip::tcp::socket socket, Role role, const ServiceSettings& settings, EventLog& log,
               Scratch& scratch, std::string tag, std::chrono::seconds idleLimit,
               std::function<void()> onClosed);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start();
    // Closes the socket now; pending operations finish with an error and drop their hold on this.
    void Stop(const std::string& reason);

  private:
    void Read();
    void OnRead(const asio::error_code& ec, size_t n);
    // Hands the buffered bytes to the session and keeps what it did not take.
    void Process();
    void Write();
    void OnWrite(const asio::error_code& ec, size_t n);
    void WaitIdle();

    asio::ip::tcp::socket socket_;
    asio::steady_timer idleTimer_;
    std::chrono::seconds idleLimit_;
    std::chrono::steady_clock::time_point lastActivity_;
    EventLog& log_;
    Session session_;
    std::function<void()> onClosed_;

    std::vector<uint8_t> in_;
    size_t inUsed_ = 0;
    std::vector<uint8_t> out_;
    bool reading_ = false;
    bool writing_ = false;
    bool closed_ = false;
    uint64_t bytesIn_ = 0;
    uint64_t bytesOut_ = 0;
};

} // namespace publisher
