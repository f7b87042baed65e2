// The listeners of one process: the check service and the download services, all served by the one
// thread that runs the io_context, so sessions, the rotation and the scratch areas need no locks.
#pragma once

#include "publisher/options.h"
#include "publisher/package.h"
#include "publisher/session.h"

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace publisher {

class EventLog;

class Server {
  public:
    Server(asio::io_context& io, const Package& package, const Options& options, EventLog& log);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens every listener and settles the advertised download servers; false with `error` otherwise.
    bool Listen(std::string& error);
    // "check 127.0.0.1:31711" / "download 127.0.0.1:40001", one per listener, in the order opened.
    std::vector<std::string> Describe() const;
    // Stops accepting; open connections end when the io_context stops.
    void Close();

  private:
    struct Listener {
        Role role;
        asio::ip::tcp::acceptor acceptor;
        asio::steady_timer retry;
    };
    void Accept(Listener& listener);

    asio::io_context& io_;
    const Package& package_;
    const Options& options_;
    EventLog& log_;
    std::unique_ptr<Scratch> scratch_;
    DownloadRotation rotation_{{}};
    ServiceSettings checkSettings_;
    ServiceSettings downloadSettings_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    size_t active_ = 0;
    uint64_t nextId_ = 0;
};

} // namespace publisher
