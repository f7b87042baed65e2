#include "net/tcp_socket.h"

#include "net/protocol.h"

TcpSocket::TcpSocket() {
    tcp.notify = this;
}

TcpSocket::~TcpSocket() {
    tcp.Shutdown();
}

void TcpSocket::OnConnect(TTcp&) {
    if (protocol != nullptr)
        protocol->OnLinkUp();
}

void TcpSocket::OnDisconnect(TTcp&) {
    if (protocol != nullptr)
        protocol->OnLinkDown();
}

int32_t TcpSocket::OnReceive(TTcp&, const uint8_t* data, int32_t len) {
    // Without a session nothing can use the bytes: drop them rather than let them fill the buffer.
    if (protocol == nullptr)
        return len;
    return int32_t(protocol->ParsePackets(data, size_t(len)));
}
