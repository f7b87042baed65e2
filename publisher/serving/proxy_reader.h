// Reads the PROXY header (proxy_header.h) off a connection accepted from a load balancer, before the
// connection is admitted: on the accepting thread, each step asynchronous, within a deadline.
//
// It takes exactly the header's bytes off the socket: it peeks at what arrived and takes only what the
// parser counts as header, so the client's first bytes behind it stay in the socket for the Connection.
// A header split over many segments, even one byte each, is read as it comes.
//
// Threads: everything, Cancel included, on the io_context of the socket given.
#pragma once

#include "publisher/serving/proxy_header.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace publisher {

class ProxyReader : public std::enable_shared_from_this<ProxyReader> {
  public:
    // Called once, unless cancelled first: Done, or Invalid with the reason (a late, cut or bad header).
    using Finished = std::function<void(const ProxyHeader&)>;

    ProxyReader(asio::ip::tcp::socket socket, std::chrono::steady_clock::duration limit);
    ProxyReader(const ProxyReader&) = delete;
    ProxyReader& operator=(const ProxyReader&) = delete;

    void Start(Finished finished);
    // Closes the socket; `finished` is never called after this.
    void Cancel();
    // After Done: the socket, positioned at the client's first byte.
    asio::ip::tcp::socket& Socket() { return socket_; }

  private:
    void Wait();
    void OnReadable(const asio::error_code& ec);
    void Finish(const ProxyHeader& header);

    asio::ip::tcp::socket socket_;
    asio::steady_timer deadline_;
    std::chrono::steady_clock::duration limit_;
    Finished finished_;
    std::vector<uint8_t> header_; // what was taken off the socket so far, then what was peeked behind it
    bool over_ = false;
};

} // namespace publisher
