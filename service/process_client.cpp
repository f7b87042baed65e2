#include "service/process_client.h"

#include "net/session_messages.h"

namespace {

// The user record every login sends.
UserRecord LoginUser() {
    return UserRecord{"tulip", "tulip"};
}

void StopThreads(TcpSocket* socket, Protocol* protocol) {
    if (socket != nullptr)
        socket->tcp.Shutdown();
    if (protocol != nullptr)
        protocol->StopAndJoin();
}

} // namespace

ProcessClient::ProcessClient() = default;

ProcessClient::~ProcessClient() {
    Shutdown();
}

void ProcessClient::Prepare() {
    if (context || socket || protocol)
        retired_.push_back({std::move(context), std::move(socket), std::move(protocol)});
    context = std::make_unique<ProtocolContext>();
    socket = std::make_unique<TcpSocket>();
    protocol = std::make_unique<Protocol>();
}

bool ProcessClient::SetServer(const char* address, uint32_t port) {
    Prepare();
    protocol->client = this;
    protocol->ctx = context.get();
    socket->protocol = protocol.get();
    context->tcp = &socket->tcp;
    uint16_t port16 = uint16_t(port & 0xFFFF);
    if (address == nullptr || port16 == 0)
        return false;
    context->SetEndpoint(address, port16);
    return true;
}

bool ProcessClient::Connect() {
    if (!protocol || !context)
        return false;
    UserRecord user = LoginUser();
    return protocol->Open(context.get(), &user);
}

void ProcessClient::Stop() {
    if (protocol)
        protocol->RequestStop();
    if (context && context->tcp != nullptr && context->tcp->HasSocket())
        context->tcp->Close();
}

void ProcessClient::Shutdown() {
    StopThreads(socket.get(), protocol.get());
    for (Retired& r : retired_)
        StopThreads(r.socket.get(), r.protocol.get());
}
