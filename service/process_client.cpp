#include "service/process_client.h"

#include "core/install_log.h"
#include "net/packet_io.h"
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

ProcessClient::Connection ProcessClient::Current() const {
    std::lock_guard guard(connectionLock_);
    return {context.get(), socket.get(), protocol.get()};
}

void ProcessClient::Prepare() {
    std::lock_guard guard(connectionLock_);
    if (context || socket || protocol)
        retired_.push_back({std::move(context), std::move(socket), std::move(protocol)});
    context = std::make_unique<ProtocolContext>();
    socket = std::make_unique<TcpSocket>();
    protocol = std::make_unique<Protocol>();
}

bool ProcessClient::SetServer(const char* address, uint32_t port) {
    // Handlers of the current connection read its objects through this client; while one may still
    // run, the objects stay where they are.
    Connection now = Current();
    if ((now.socket != nullptr && now.socket->tcp.HasSocket()) ||
        (now.protocol != nullptr && !now.protocol->Quiet()))
        return false;
    Prepare();
    {
        std::lock_guard guard(connectionLock_);
        protocol->client = this;
        protocol->ctx = context.get();
        socket->protocol = protocol.get();
        context->tcp = &socket->tcp;
    }
    uint16_t port16 = uint16_t(port & 0xFFFF);
    if (address == nullptr || port16 == 0)
        return false;
    Current().context->SetEndpoint(address, port16);
    return true;
}

bool ProcessClient::Connect() {
    Connection now = Current();
    if (now.protocol == nullptr || now.context == nullptr)
        return false;
    UserRecord user = LoginUser();
    watchdog_.Arm(); // before: the answer may arrive before Open returns
    bool connected = now.protocol->Open(now.context, &user);
    if (!connected)
        watchdog_.Disarm();
    return connected;
}

void ProcessClient::Stop() {
    Connection now = Current();
    if (now.protocol != nullptr)
        now.protocol->RequestStop();
    if (now.context != nullptr && now.context->tcp != nullptr && now.context->tcp->HasSocket())
        now.context->tcp->Close(); // reports the loss (as the run's outcome, if it has none yet)
    watchdog_.Disarm();
    run_.Lock().End();
}

void ProcessClient::Shutdown() {
    watchdog_.Stop();
    // Joined without the lock: a handler still running may need it to finish.
    std::vector<Connection> all;
    {
        std::lock_guard guard(connectionLock_);
        all.push_back({context.get(), socket.get(), protocol.get()});
        for (Retired& r : retired_)
            all.push_back({r.context.get(), r.socket.get(), r.protocol.get()});
    }
    for (const Connection& c : all)
        StopThreads(c.socket, c.protocol);
}

void ProcessClient::NoteTraffic() {
    watchdog_.Touch();
}

void ProcessClient::NoteDropped() {
    dropped_.store(true);
}

void ProcessClient::LinkDown(const char* text, int code) {
    watchdog_.Disarm();
    run_.Lock().End();
    OnClientDisconnect(text, code);
}

void ProcessClient::SendRequest(const std::vector<uint8_t>& request) {
    Connection now = Current();
    if (now.context != nullptr)
        SendPacket(*now.context, request.data(), int32_t(request.size()), '6');
}

void ProcessClient::SendLogin() {
    Connection now = Current();
    if (now.protocol != nullptr)
        now.protocol->SendLogin(now.context);
}

void ProcessClient::Fail(const std::string& why, Fault fault) {
    {
        // Recorded before the loss is reported (the interface reads it on the report), and only for a
        // run that had not ended: a later fault does not rename an earlier end.
        auto run = run_.Lock();
        if (!run.ended())
            fault_.store(fault);
        run.End();
    }
    watchdog_.Disarm();
    WriteLog(why);
    Stop();
    // Nothing was open to close (or it closed meanwhile): the loss is still this run's outcome.
    if (run_.outcome() == RunState::Outcome::kNone)
        OnClientDisconnect(kLinkErrorText, kLinkErrorCode);
}

void ProcessClient::OnSilence() {
    Stop();
}
