#include "publisher/server.h"

#include "publisher/connection.h"
#include "publisher/event_log.h"

namespace publisher {

Server::Server(asio::io_context& io, const Package& package, const Options& options, EventLog& log)
    : io_(io), package_(package), options_(options), log_(log), scratch_(std::make_unique<Scratch>()) {
    for (ServiceSettings* s : {&checkSettings_, &downloadSettings_}) {
        s->package = &package_;
        s->heartbeatSeconds = options.heartbeatSeconds;
        s->moduleBatch = options.moduleBatch;
        s->test = options.test;
    }
    checkSettings_.rotation = &rotation_;
    if (options.cacheMib != 0)
        downloadSettings_.cache = std::make_shared<MessageCache>(uint64_t(options.cacheMib) << 20);
}

bool Server::Listen(std::string& error) {
    auto open = [&](Role role, const Endpoint& e) {
        asio::error_code ec;
        auto address = asio::ip::make_address_v4(e.address, ec);
        if (ec) {
            error = e.address + ": " + ec.message();
            return false;
        }
        auto listener =
            std::make_unique<Listener>(Listener{role, asio::ip::tcp::acceptor(io_), asio::steady_timer(io_)});
        asio::ip::tcp::endpoint endpoint(address, e.port);
        auto& a = listener->acceptor;
        a.open(endpoint.protocol(), ec);
        if (!ec)
            a.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec)
            a.bind(endpoint, ec);
        if (!ec)
            a.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) {
            listeners_.push_back(std::move(listener));
            return true;
        }
        error = "cannot listen on " + e.address + ":" + std::to_string(e.port) + ": " + ec.message();
        return false;
    };
    if (options_.check && !open(Role::Check, *options_.check))
        return false;
    for (const Endpoint& e : options_.downloads)
        if (!open(Role::Download, e))
            return false;

    std::vector<Endpoint> servers = options_.advertise;
    if (servers.empty()) {
        for (const auto& l : listeners_) {
            if (l->role != Role::Download)
                continue;
            auto local = l->acceptor.local_endpoint();
            if (local.address().is_unspecified()) {
                error = "a download service on " + local.address().to_string() +
                        " needs --advertise with the address installers reach it at";
                return false;
            }
            servers.push_back({local.address().to_string(), local.port()});
        }
    }
    rotation_ = DownloadRotation(servers);
    for (auto& l : listeners_)
        Accept(*l);
    return true;
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

void Server::Close() {
    for (auto& l : listeners_) {
        asio::error_code ec;
        l->acceptor.close(ec);
        l->retry.cancel();
    }
}

void Server::Accept(Listener& listener) {
    listener.acceptor.async_accept([this, &listener](const asio::error_code& ec,
                                                     asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !listener.acceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors and the like: pause instead of spinning on the same error.
            log_.Write("accept failed: " + ec.message());
            listener.retry.expires_after(std::chrono::seconds(1));
            listener.retry.async_wait([this, &listener](const asio::error_code& e) {
                if (!e)
                    Accept(listener);
            });
            return;
        }
        asio::error_code peerError;
        auto peer = socket.remote_endpoint(peerError);
        std::string tag =
            std::string(listener.role == Role::Check ? "check#" : "download#") + std::to_string(++nextId_) +
            " " +
            (peerError ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port()));
        if (active_ >= options_.maxConnections) {
            log_.Write(tag + " refused: " + std::to_string(active_) + " connections open");
            asio::error_code ignored;
            socket.close(ignored);
        } else {
            ++active_;
            auto connection = std::make_shared<Connection>(
                std::move(socket), listener.role,
                listener.role == Role::Check ? checkSettings_ : downloadSettings_, log_, *scratch_,
                std::move(tag), std::chrono::seconds(options_.idleMinutes) * 60, [this] { --active_; });
            connection->Start();
        }
        Accept(listener);
    });
}

} // namespace publisher
