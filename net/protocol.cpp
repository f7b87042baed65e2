#include "net/protocol.h"

#include "core/install_log.h"
#include "net/protocol_context.h"
#include "net/session_client.h"
#include "net/tcp.h"

#include <chrono>
#include <cstdio>

const char kLinkErrorText[] = "\xb4\xfa\xc0\xed\xb4\xed\xce\xf3";
const char kLinkTimeoutText[] = "\xc1\xac\xbd\xd3\xb3\xac\xca\xb1";

Protocol::Protocol() : receiveBuffers_(std::make_unique<CodecBuffers>()) {}

Protocol::~Protocol() {
    StopAndJoin();
}

bool Protocol::Open(ProtocolContext* context, const UserRecord* rec) {
    bool connected = false;
    if (context != nullptr && rec != nullptr) {
        rec->Encode(context->userRecord);
        if (context->tcp != nullptr)
            connected = context->tcp->Connect(context->ip, context->port) == TTcp::kConnected;
    }
    char line[1024];
    std::snprintf(line, sizeof line, "SocketSend_ip:%s__port:%d", context ? context->ip : "",
                  context ? int(context->port) : 0);
    WriteLog(line);
    return connected;
}

void Protocol::SendAuthentLink() {
    if (ctx == nullptr)
        return;
    uint8_t msg[kAuthentReqSize];
    BuildAuthentRequest(msg);
    SendPacket(*ctx, msg, int32_t(sizeof msg), '4');
}

void Protocol::SendLogin(ProtocolContext* context) {
    if (context == nullptr)
        return;
    uint8_t msg[kLoginReqSize];
    BuildLoginRequest(context->userRecord, msg);
    SendPacket(*context, msg, int32_t(sizeof msg), '6');
}

void Protocol::SendHeartbeat() {
    unanswered.fetch_add(1);
    if (ctx == nullptr)
        return;
    uint8_t msg[kHeartbeatReqSize];
    BuildHeartbeatRequest(msg);
    SendPacket(*ctx, msg, int32_t(sizeof msg), '4');
}

bool Protocol::BeginDelivery(bool linkGoingDown) {
    std::lock_guard<std::mutex> lock(gate_);
    if (linkGoingDown) {
        linkUp.store(false);
        linkClosed_ = true;
    } else if (linkClosed_) {
        return false;
    }
    ++deliveries_;
    return true;
}

void Protocol::EndDelivery() {
    std::lock_guard<std::mutex> lock(gate_);
    --deliveries_;
}

bool Protocol::Quiet() const {
    std::lock_guard<std::mutex> lock(gate_);
    return !linkUp.load() && deliveries_ == 0;
}

void Protocol::HandleMessage(const uint8_t* msg, size_t len) {
    if (msg == nullptr || len < MessageHeader::kSize)
        return;
    // A message decoded after the link went down belongs to a connection the client has let go.
    if (!BeginDelivery(false))
        return;
    Dispatch(msg, len);
    EndDelivery();
}

void Protocol::Dispatch(const uint8_t* msg, size_t len) {
    uint32_t errorCode = PeekErrorCode(msg);
    switch (PeekMsgType(msg)) {
    case kMsgAuthentRsp: {
        AuthentAnswer answer;
        if (!ReadAuthentAnswer(msg, len, answer))
            return;
        // The keys are in place before the client hears of the answer, so its first request
        // already goes out under the new send key.
        if (answer.errorCode == 0) {
            if (ctx != nullptr)
                ctx->InstallSessionKeys(answer.sendKeyText, answer.recvKeyText);
            heartbeatSeconds.store(answer.heartbeatSeconds);
        }
        if (client != nullptr)
            client->OnAuthentLink(answer.errorCode);
        return;
    }
    case kMsgHeartbeatRsp: {
        // An unasked-for answer must not bank credit against later lost heartbeats.
        int32_t n = unanswered.load();
        while (n > 0 && !unanswered.compare_exchange_weak(n, n - 1)) {
        }
        return;
    }
    case kMsgLoginRsp:
        if (client != nullptr)
            client->OnLogin(errorCode, msg + kLoginBodyOffset, len - kLoginBodyOffset);
        return;
    case kMsgServerNotice:
        if (client != nullptr)
            client->OnServerNotice(errorCode, len);
        return;
    default:
        if (client != nullptr)
            client->OnMessage(msg, len);
        unanswered.store(0);
        return;
    }
}

size_t Protocol::ParsePackets(const uint8_t* data, size_t len) {
    if (ctx == nullptr)
        return len;
    // Any byte counts as a sign of life, even the first of a message that takes long to arrive.
    if (client != nullptr)
        client->NoteTraffic();
    return ::ParsePackets(*ctx, *receiveBuffers_, *this, data, len);
}

void Protocol::OnDropped() {
    if (client != nullptr)
        client->NoteDropped();
}

void Protocol::OnLinkUp() {
    {
        std::lock_guard<std::mutex> lock(gate_);
        linkUp.store(true);
        linkClosed_ = false;
    }
    SendAuthentLink();
}

void Protocol::OnLinkDown() {
    BeginDelivery(true);
    if (client != nullptr)
        client->LinkDown(kLinkErrorText, kLinkErrorCode);
    EndDelivery();
}

void Protocol::Run() {
    bool staleReported = false;
    while (!StopRequested()) {
        TTcp* tcp = ctx != nullptr ? ctx->tcp : nullptr;
        int32_t seconds = heartbeatSeconds.load();
        if (linkUp.load() && seconds > 0) {
            staleReported = false;
            WaitFor(std::chrono::seconds(seconds));
            if (StopRequested() || !linkUp.load())
                continue;
            SendHeartbeat();
            int32_t n = unanswered.load();
            if (n == 2 && client != nullptr)
                client->OnHeartbeatLost();
            else if (n > 2 && tcp != nullptr)
                tcp->Close();
            continue;
        }
        // A transport that is open while the session never saw it come up is reported once.
        if (!linkUp.load() && tcp != nullptr && tcp->IsConnected() && !staleReported) {
            staleReported = true;
            if (client != nullptr)
                client->LinkDown(kLinkTimeoutText, kLinkTimeoutCode);
        }
        WaitFor(std::chrono::milliseconds(200));
    }
}
