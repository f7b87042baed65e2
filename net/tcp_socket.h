// TcpSocket: owns the transport of one session and forwards its events to the Protocol.
#pragma once

#include "net/tcp.h"

class Protocol;

class TcpSocket final : public TTcp::TNotify {
  public:
    TcpSocket();
    // Stops the transport's thread before anything it calls into can go.
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    Protocol* protocol = nullptr; // not owned
    TTcp tcp;

    void OnConnect(TTcp& t) override;
    void OnDisconnect(TTcp& t) override;
    int32_t OnReceive(TTcp& t, const uint8_t* data, int32_t len) override;
};
