#include "publisher/serving/server.h"

#include "publisher/serving/connection.h"
#include "publisher/ops/event_log.h"
#include "publisher/ops/listen_socket.h"
#include "publisher/serving/proxy_reader.h"
#include "publisher/ops/signals_held_back.h"
#include "publisher/ops/unique_fd.h"

#include <algorithm>

#include <unistd.h>

namespace publisher {

Server::Server(asio::io_context& io, std::shared_ptr<const Package> package, const Options& options,
               EventLog& log, std::shared_ptr<PreparedFiles> prepared, Metrics* metrics)
    : io_(io), options_(options), log_(log), metrics_(metrics), logTimer_(io) {
    const uint32_t scale = options.test.timeScale;
    policy_.authLimit = std::chrono::seconds(options.authSeconds);
    policy_.idleLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::minutes(options.idleMinutes)) /
                        scale;
    policy_.holdLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::hours(options.holdHours)) /
                        scale;
    Replace(std::move(package), std::move(prepared));
}

Server::~Server() {
    Close();
}

void Server::Replace(std::shared_ptr<const Package> package, std::shared_ptr<PreparedFiles> prepared) {
    // One cache across reloads: what the new package serves unchanged stays kept, the rest goes.
    if (!cache_ && options_.cacheMib != 0)
        cache_ = std::make_shared<MessageCache>(uint64_t(options_.cacheMib) << 20);
    if (cache_)
        cache_->Retain(*package);
    auto make = [&](Role role) {
        auto s = std::make_shared<ServiceSettings>();
        s->package = package;
        s->heartbeatSeconds = options_.heartbeatSeconds;
        s->moduleBatch = options_.moduleBatch;
        s->test = options_.test;
        if (role == Role::Check)
            s->rotation = &rotation_;
        if (role == Role::Download) {
            s->cache = cache_;
            s->prepared = prepared;
        }
        return std::shared_ptr<const ServiceSettings>(std::move(s));
    };
    auto check = make(Role::Check);
    auto download = make(Role::Download);
    {
        std::lock_guard lock(mutex_);
        checkSettings_.swap(check);
        downloadSettings_.swap(download);
    }
    if (download)
        download->superseded = true;
    // The old settings go outside the lock, with whatever they were the last holder of.
}

std::shared_ptr<PreparedFiles> Server::Prepared() const {
    std::lock_guard lock(mutex_);
    return downloadSettings_->prepared;
}

std::shared_ptr<const Package> Server::Current() const {
    std::lock_guard lock(mutex_);
    return checkSettings_->package;
}

Status Server::Listen() {
    auto open = [&](Role role, const Endpoint& e) -> Status {
        asio::error_code ec;
        auto address = asio::ip::make_address_v4(e.address, ec);
        if (ec)
            return Error(ErrorKind::kInvalid, e.address + ": " + ec.message(), ec.value());
        auto listener =
            std::make_unique<Listener>(Listener{role, asio::ip::tcp::acceptor(io_), asio::steady_timer(io_)});
        ec = ListenOn(listener->acceptor, {address, e.port});
        if (!ec) {
            listeners_.push_back(std::move(listener));
            return Ok();
        }
        return Error(ErrorKind::kNetwork,
                     "cannot listen on " + e.address + ":" + std::to_string(e.port) + ": " + ec.message(),
                     ec.value());
    };
    if (options_.check)
        if (Status opened = open(Role::Check, *options_.check); !opened)
            return opened;
    for (const Endpoint& e : options_.downloads)
        if (Status opened = open(Role::Download, e); !opened)
            return opened;

    std::vector<AdvertisedServer> servers = options_.advertise;
    if (servers.empty()) {
        for (const auto& l : listeners_) {
            if (l->role != Role::Download)
                continue;
            auto local = l->acceptor.local_endpoint();
            if (local.address().is_unspecified())
                return Error(ErrorKind::kInvalid,
                             "a download service on " + local.address().to_string() +
                                 " needs --advertise with the address installers reach it at");
            servers.push_back({{local.address().to_string(), local.port()}, 1});
        }
    }
    rotation_.Assign(servers);
    if (options_.check && options_.probeSeconds != 0 && !servers.empty()) {
        std::vector<Endpoint> endpoints;
        for (const auto& s : servers)
            endpoints.push_back(s.endpoint);
        // An answer takes a round trip or two; a server slower than this would make installers wait too.
        const auto interval = std::chrono::seconds(options_.probeSeconds);
        const auto timeout = std::min<std::chrono::steady_clock::duration>(interval, std::chrono::seconds(3));
        prober_ = std::make_unique<DownloadProber>(
            io_, std::move(endpoints), rotation_, log_, interval, timeout,
            [this] { return ProbeItem(*Current()); }, metrics_);
        prober_->Start();
    }

    const unsigned threads = publisher::ServingThreads(options_.threads);
    const SignalsHeldBack heldBack; // the serving threads never take the service's signals
    for (unsigned i = 0; i < threads; ++i) {
        auto& w = *workers_.emplace_back(std::make_unique<Worker>());
        w.thread = std::thread([&w] { w.io.run(); });
    }
    for (auto& l : listeners_)
        Accept(*l);
    FlushLog();
    return Ok();
}

std::optional<messages::DownloadItem> ProbeItem(const Package& package) {
    // The smallest module that has a file costs a download server least to answer; an empty module
    // still proves the version.
    const PackageModule* best = nullptr;
    for (const auto& m : package.modules) {
        const bool better = !best || (best->files.empty() && !m.files.empty()) ||
                            (best->files.empty() == m.files.empty() && m.bytes < best->bytes);
        if (better)
            best = &m;
    }
    if (!best)
        return std::nullopt;
    return messages::DownloadItem{package.packageNo, best->name, best->record.ModuleVerA,
                                  best->record.ModuleVerB};
}

bool Server::Healthy() const {
    const bool listening = !listeners_.empty() && listeners_.front()->acceptor.is_open();
    return listening && (!options_.check || rotation_.LiveCount() != 0);
}

std::vector<std::string> Server::Describe() const {
    std::vector<std::string> lines;
    for (const auto& l : listeners_) {
        asio::error_code ec;
        auto local = l->acceptor.local_endpoint(ec);
        lines.push_back(std::string(l->role == Role::Check ? "check " : "download ") +
                        local.address().to_string() + ":" + std::to_string(local.port()));
    }
    return lines;
}

void Server::FlushLog() {
    logTimer_.expires_after(std::chrono::seconds(1));
    logTimer_.async_wait([this](const asio::error_code& ec) {
        if (ec)
            return;
        log_.FlushSuppressed();
        FlushLog();
    });
}

void Server::Close() {
    logTimer_.cancel();
    if (prober_)
        prober_->Stop();
    for (auto& [key, reader] : proxyReaders_)
        reader->Cancel();
    proxyReaders_.clear();
    for (auto& l : listeners_) {
        asio::error_code ec;
        l->acceptor.close(ec);
        l->retry.cancel();
    }
    for (auto& w : workers_) {
        w->work.reset();
        w->io.stop();
    }
    for (auto& w : workers_)
        if (w->thread.joinable())
            w->thread.join();
}

void Server::Accept(Listener& listener) {
    listener.acceptor.async_accept(
        [this, &listener](const asio::error_code& ec, asio::ip::tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !listener.acceptor.is_open())
                return;
            if (ec) {
                // Out of descriptors and the like: pause instead of spinning on the same error.
                log_.Limited("accept failed", kComplaintsPerSecond, "accept failed: " + ec.message());
                listener.retry.expires_after(std::chrono::seconds(1));
                listener.retry.async_wait([this, &listener](const asio::error_code& e) {
                    if (!e)
                        Accept(listener);
                });
                return;
            }
            if (FromBalancer(listener.role, socket))
                ReadProxyHeader(listener, std::move(socket));
            else
                Hand(listener, std::move(socket), std::nullopt);
            Accept(listener);
        });
}

void Server::Hand(Listener& listener, asio::ip::tcp::socket socket, const std::optional<Proxied>& proxied) {
    // The connection moves to the serving thread whose turn it is and stays there. The accept itself
    // makes its socket here: a pending accept holding a socket of a serving thread's io_context would
    // outlive that io_context when the server goes.
    Worker& worker = *workers_[nextWorker_];
    nextWorker_ = (nextWorker_ + 1) % workers_.size();
    asio::error_code moved;
    asio::ip::tcp::socket served(worker.io);
    const auto protocol = socket.local_endpoint(moved).protocol();
    if (!moved) {
        UniqueFd fd(socket.release(moved));
        if (!moved) {
            served.assign(protocol, fd.get(), moved);
            if (!moved)
                fd.release(); // the serving thread's socket owns it now
        }
    }
    if (moved)
        log_.Limited("accept failed", kComplaintsPerSecond, "accept failed: " + moved.message());
    else
        Admit(listener, worker, std::move(served), proxied);
}

bool Server::FromOwnProbe(Role role, const asio::ip::tcp::socket& socket) const {
    // Our own probe comes from an address of this host, so the peer's address is the one it reached.
    asio::error_code peerError, localError;
    const auto peer = socket.remote_endpoint(peerError);
    const auto local = socket.local_endpoint(localError);
    return role == Role::Download && prober_ && !peerError && !localError &&
           peer.address() == local.address() && prober_->FromProbe(peer.port());
}

bool Server::FromBalancer(Role role, const asio::ip::tcp::socket& socket) const {
    if (options_.proxyFrom.empty())
        return false;
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec || !peer.address().is_v4())
        return false;
    const uint32_t address = peer.address().to_v4().to_uint();
    return std::any_of(options_.proxyFrom.begin(), options_.proxyFrom.end(),
                       [address](const AddressBlock& b) { return b.Contains(address); }) &&
           !FromOwnProbe(role, socket);
}

void Server::ReadProxyHeader(Listener& listener, asio::ip::tcp::socket socket) {
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    std::string balancer = ec ? "?" : peer.address().to_string() + ":" + std::to_string(peer.port());
    const uint64_t key = ++nextReader_;
    auto reader = std::make_shared<ProxyReader>(std::move(socket), policy_.authLimit);
    proxyReaders_.emplace(key, reader);
    reader->Start([this, &listener, key, balancer = std::move(balancer)](const ProxyHeader& header) {
        auto it = proxyReaders_.find(key);
        const std::shared_ptr<ProxyReader> reader = std::move(it->second);
        proxyReaders_.erase(it);
        if (header.verdict != ProxyHeader::Verdict::Done) {
            if (metrics_)
                metrics_->proxyHeadersRejected.fetch_add(1, std::memory_order_relaxed);
            log_.Limited("proxy header rejected", kComplaintsPerSecond,
                         std::string(listener.role == Role::Check ? "check " : "download ") + balancer +
                             " closed: no valid PROXY header: " + header.reason);
            reader->Cancel();
            return;
        }
        // LOCAL and UNKNOWN: the balancer's own connection, such as its health check.
        std::optional<Proxied> proxied;
        if (!header.local)
            proxied = Proxied{header.address, header.port, balancer};
        Hand(listener, std::move(reader->Socket()), proxied);
    });
}

void Server::Admit(Listener& listener, Worker& worker, asio::ip::tcp::socket socket,
                   const std::optional<Proxied>& proxied) {
    const Role role = listener.role;
    const size_t r = role == Role::Check ? 0 : 1;
    asio::error_code peerError;
    auto peer = socket.remote_endpoint(peerError);
    const bool probe = !proxied && FromOwnProbe(role, socket);
    std::string address = proxied     ? proxied->address
                          : peerError ? std::string("?")
                                      : peer.address().to_string();
    std::string tag =
        std::string(role == Role::Check ? "check#" : "download#") + std::to_string(++nextId_) + " ";
    if (!proxied)
        tag += address + (peerError ? "" : ":" + std::to_string(peer.port()));
    else if (proxied->address.find(':') != std::string::npos)
        tag += "[" + address + "]:" + std::to_string(proxied->port) + " via " + proxied->balancer;
    else
        tag += address + ":" + std::to_string(proxied->port) + " via " + proxied->balancer;
    const uint32_t limit =
        role == Role::Check ? options_.maxCheckConnections : options_.maxDownloadConnections;
    std::string refusal;
    std::shared_ptr<const ServiceSettings> settings;
    {
        std::lock_guard lock(mutex_);
        Address& counts = addresses_[address];
        if (active_[r] >= limit)
            refusal = std::to_string(active_[r]) + " connections open";
        else if (counts.open >= options_.maxPerAddress)
            refusal = std::to_string(counts.open) + " connections open from " + address;
        if (refusal.empty()) {
            ++active_[r];
            ++counts.open;
            settings = role == Role::Check ? checkSettings_ : downloadSettings_;
        } else if (counts.open == 0) {
            addresses_.erase(address);
        }
    }
    if (!refusal.empty()) {
        if (metrics_)
            metrics_->connectionsRefused[r].fetch_add(1, std::memory_order_relaxed);
        log_.Limited("refused", kComplaintsPerSecond, tag + " refused: " + refusal);
        asio::error_code ignored;
        socket.close(ignored);
        return;
    }
    if (metrics_ && !probe) {
        metrics_->connectionsTotal[r].fetch_add(1, std::memory_order_relaxed);
        metrics_->connectionsOpen[r].fetch_add(1, std::memory_order_relaxed);
    }
    // The hooks run on the connection's serving thread.
    ConnectionHooks hooks;
    hooks.closed = [this, r, address, probe] { Closed(r, address, probe); };
    hooks.metrics = probe ? nullptr : metrics_;
    hooks.quiet = probe;
    if (role == Role::Download)
        hooks.streaming = [this, address](bool on) {
            std::lock_guard lock(mutex_);
            auto it = addresses_.find(address);
            if (it != addresses_.end())
                it->second.downloading += on ? 1 : -1;
        };
    else
        hooks.downloadRunning = [this, address] {
            std::lock_guard lock(mutex_);
            auto it = addresses_.find(address);
            return it != addresses_.end() && it->second.downloading != 0;
        };
    auto connection = std::make_shared<Connection>(std::move(socket), role, std::move(settings), log_,
                                                   worker.scratch, std::move(tag), policy_, std::move(hooks));
    asio::post(worker.io, [connection] { connection->Start(); });
}

void Server::Closed(size_t role, const std::string& address, bool probe) {
    if (metrics_ && !probe)
        metrics_->connectionsOpen[role].fetch_sub(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    --active_[role];
    auto it = addresses_.find(address);
    if (it != addresses_.end() && --it->second.open == 0)
        addresses_.erase(it);
}

} // namespace publisher
