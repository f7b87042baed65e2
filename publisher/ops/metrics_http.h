// The monitoring endpoint (--metrics ADDR:PORT): a minimal HTTP/1.1 server for two requests,
//   GET /metrics  the counters in the Prometheus text format, 200
//   GET /healthz  "ok" with 200 while the service serves its package, "unavailable" with 503 otherwise
// One request per connection, answered and closed. A request must arrive whole within the request
// time (5 s) and fit 4 KiB, and at most 16 connections are open at a time (more are closed at once),
// so a monitoring port on a reachable address costs little when someone else finds it.
// Threads: everything runs on the io_context given (the accepting thread, never a serving thread);
// Listen, Port and Close are called on that thread, or before it runs.
#pragma once

#include "publisher/command_line/options.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace publisher {

class MetricsEndpoint {
  public:
    MetricsEndpoint(asio::io_context& io, std::function<std::string()> metrics, std::function<bool()> healthy,
                    std::chrono::milliseconds requestTime = std::chrono::seconds(5));
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    Status Listen(const Endpoint& at);
    uint16_t Port() const;
    // Stops accepting; an exchange still open ends within its request time. Idempotent.
    void Close();

    static constexpr size_t kMaxRequest = 4096;
    static constexpr unsigned kMaxConnections = 16;

  private:
    struct Exchange;
    void Accept();

    asio::io_context& io_;
    asio::ip::tcp::acceptor acceptor_;
    std::function<std::string()> metrics_;
    std::function<bool()> healthy_;
    std::chrono::milliseconds requestTime_;
    std::shared_ptr<unsigned> open_; // shared with the exchanges, which may outlive a Close
};

// The answer to one request's bytes (the head up to and including the blank line): a whole HTTP
// response. Pure, for the tests and the fuzzer.
std::string AnswerMetricsRequest(std::string_view head, const std::function<std::string()>& metrics,
                                 const std::function<bool()>& healthy);

} // namespace publisher
