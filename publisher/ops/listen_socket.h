// Opens a listening TCP socket the way every listener of the service does: address reuse (a restart
// must not wait out TIME_WAIT), the system's largest backlog.
#pragma once

#include <asio.hpp>

namespace publisher {

inline asio::error_code ListenOn(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& at) {
    asio::error_code ec;
    acceptor.open(at.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(at, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    return ec;
}

} // namespace publisher
