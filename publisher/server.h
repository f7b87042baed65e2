// The listeners of one process: the check service and the download services, all served by the one
// thread that runs the io_context, so sessions, the rotation, the counts and the scratch areas need no
// locks.
//
// Limits for a public address: each service has its own connection limit, so a flood of one cannot
// lock installers out of the other, and one client address holds at most maxPerAddress connections of
// both together. A reload (SIGHUP) gives new connections the new package and its own cache of kept
// messages; open connections keep the package they started with until they end.
#pragma once

#include "publisher/connection.h"
#include "publisher/options.h"
#include "publisher/package.h"
#include "publisher/session.h"

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace publisher {

class EventLog;

class Server {
  public:
    Server(asio::io_context& io, std::shared_ptr<const Package> package, const Options& options,
           EventLog& log, std::shared_ptr<PreparedFiles> prepared = nullptr);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens every listener and settles the advertised download servers; false with `error` otherwise.
    bool Listen(std::string& error);
    // "check 127.0.0.1:31711" / "download 127.0.0.1:40001", one per listener, in the order opened.
    std::vector<std::string> Describe() const;
    // Serves `package` (with its `prepared` messages, if any) to connections accepted from now on.
    void Replace(std::shared_ptr<const Package> package, std::shared_ptr<PreparedFiles> prepared = nullptr);
    const Package& Current() const { return *checkSettings_->package; }
    // Stops accepting; open connections end when the io_context stops.
    void Close();

  private:
    struct Listener {
        Role role;
        asio::ip::tcp::acceptor acceptor;
        asio::steady_timer retry;
    };
    struct Address {
        unsigned open = 0;
        unsigned downloading = 0;
    };
    void Accept(Listener& listener);
    void Admit(Listener& listener, asio::ip::tcp::socket socket);
    void FlushLog();

    asio::io_context& io_;
    const Options& options_;
    EventLog& log_;
    ConnectionPolicy policy_;
    std::unique_ptr<Scratch> scratch_;
    DownloadRotation rotation_{{}};
    std::shared_ptr<const ServiceSettings> checkSettings_;
    std::shared_ptr<const ServiceSettings> downloadSettings_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    size_t active_[2] = {0, 0}; // by Role
    std::unordered_map<std::string, Address> addresses_;
    asio::steady_timer logTimer_;
    uint64_t nextId_ = 0;
};

} // namespace publisher
