// The listeners of one process: the check service and the download services. Connections are served by
// a fixed set of serving threads, each running an io_context of its own; an accepted connection is
// handed to the next one in turn and stays on it for its life, with that thread's codec work areas.
// The io_context given to the Server (the caller's thread) accepts, probes the download servers and
// flushes the log, never serves.
//
// What connections share is locked: the counts and limits below (the connection hooks call in from the
// serving threads), the settings a reload swaps, the rotation and the cache of kept messages (their
// own locks). Threads: Listen, Replace, Current and Close on the accepting thread; the destructor joins
// the serving threads.
//
// Limits for a public address: each service has its own connection limit, so a flood of one cannot
// lock installers out of the other, and one client address holds at most maxPerAddress connections of
// both together. A reload (SIGHUP) gives new connections the new package; the kept messages of the
// files it shares with the old one stay kept, the rest are dropped. Open connections keep the package
// they started with until they end.
//
// Behind a load balancer (--proxy-protocol-from): a connection from a listed balancer is admitted only
// once its PROXY header is read (ProxyReader, on the accepting thread, within authLimit), and then as
// the client the header names: that address is counted against maxPerAddress, tagged in the log and
// released at close. A connection from a listed balancer without a valid header is closed and counted;
// connections from any other address are served as they are, never read for a header. The check
// service's own probes need no header.
//
// Counting (Metrics, optional): connections by service, and through the connections what they answer
// and send. The check service's own probes of a download service of this process are counted by the
// prober and are left out of the connection counts and the log.
#pragma once

#include "publisher/serving/connection.h"
#include "publisher/serving/download_probe.h"
#include "publisher/serving/download_rotation.h"
#include "publisher/command_line/options.h"
#include "publisher/package/package.h"
#include "publisher/serving/session.h"

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace publisher {

class EventLog;
class ProxyReader;

// What the probe of a download server asks for: the package's smallest module at its offered version.
std::optional<messages::DownloadItem> ProbeItem(const Package& package);

class Server {
  public:
    Server(asio::io_context& io, std::shared_ptr<const Package> package, const Options& options,
           EventLog& log, std::shared_ptr<PreparedFiles> prepared = nullptr, Metrics* metrics = nullptr);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens every listener, settles the advertised download servers and starts the serving threads;
    // false with `error` otherwise.
    Status Listen();
    // "check 127.0.0.1:31711" / "download 127.0.0.1:40001", one per listener, in the order opened.
    std::vector<std::string> Describe() const;
    // Serves `package` (with its `prepared` messages, if any) to connections accepted from now on.
    void Replace(std::shared_ptr<const Package> package, std::shared_ptr<PreparedFiles> prepared = nullptr);
    std::shared_ptr<const Package> Current() const;
    // The prepared messages of the current package, if any.
    std::shared_ptr<PreparedFiles> Prepared() const;
    size_t ServingThreads() const { return workers_.size(); }
    // Listening, and with a check service, at least one advertised download server answering its
    // probes: what a health check asks. On the accepting thread.
    bool Healthy() const;
    // Stops accepting and probing, ends every serving thread and joins it; open connections end with
    // it. Idempotent.
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
    // One serving thread. The scratch areas are declared first so that they outlive the connections
    // the io_context still holds when it goes.
    struct Worker {
        Scratch scratch;
        asio::io_context io{1};
        asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
        std::thread thread;
    };
    // The client a balancer's PROXY header named.
    struct Proxied {
        std::string address;
        uint16_t port = 0;
        std::string balancer; // "ADDR:PORT", for the log
    };
    void Accept(Listener& listener);
    // A connection to the check service's own probe of this process's download service.
    bool FromOwnProbe(Role role, const asio::ip::tcp::socket& socket) const;
    bool FromBalancer(Role role, const asio::ip::tcp::socket& socket) const;
    void ReadProxyHeader(Listener& listener, asio::ip::tcp::socket socket);
    // Moves the socket to the serving thread whose turn it is and admits it there.
    void Hand(Listener& listener, asio::ip::tcp::socket socket, const std::optional<Proxied>& proxied);
    void Admit(Listener& listener, Worker& worker, asio::ip::tcp::socket socket,
               const std::optional<Proxied>& proxied);
    void Closed(size_t role, const std::string& address, bool probe);
    void FlushLog();

    asio::io_context& io_;
    const Options& options_;
    EventLog& log_;
    Metrics* metrics_;
    ConnectionPolicy policy_;
    DownloadRotation rotation_;
    std::unique_ptr<DownloadProber> prober_;

    mutable std::mutex mutex_; // guards the settings and the counts
    std::shared_ptr<const ServiceSettings> checkSettings_;
    std::shared_ptr<const ServiceSettings> downloadSettings_;
    // Kept messages, one cache for every package served (see MessageCache); null with --cache-mib 0.
    std::shared_ptr<MessageCache> cache_;
    size_t active_[2] = {0, 0}; // by Role
    std::unordered_map<std::string, Address> addresses_;

    std::vector<std::unique_ptr<Listener>> listeners_;
    // Balancer connections whose header is still being read, by a number of their own.
    std::unordered_map<uint64_t, std::shared_ptr<ProxyReader>> proxyReaders_;
    uint64_t nextReader_ = 0;
    asio::steady_timer logTimer_;
    uint64_t nextId_ = 0;
    size_t nextWorker_ = 0;
    std::vector<std::unique_ptr<Worker>> workers_; // last: the serving threads end before anything else
};

} // namespace publisher
