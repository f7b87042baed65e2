#include "scripted_peer.h"

#include "net/idea.h"
#include "net/message_header.h"
#include "net/packet_codec.h"
#include "net/session_messages.h"

#include <memory>
#include <stdexcept>

namespace {

// Key texts from the installer's point of view: it sends under the first, receives under the second.
constexpr std::string_view kInstallerSendKey = "send-key-0123456";
constexpr std::string_view kInstallerRecvKey = "recv-key-6543210";

// A request may be as far off as a test's longest silence; the destructor ends a wait sooner.
constexpr int kRequestWaitMs = 10 * 60 * 1000;
// How often the accept loop looks whether the peer is stopping.
constexpr int kAcceptPollMs = 20;

struct Keys {
    IdeaKey fixed{}, installerSend{}, installerRecv{};
    Keys() {
        SetKey(fixed, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
        SetKey(installerSend, kInstallerSendKey.data(), unsigned(kInstallerSendKey.size()));
        SetKey(installerRecv, kInstallerRecvKey.data(), unsigned(kInstallerRecvKey.size()));
    }
};

const Keys& TheKeys() {
    static const Keys keys;
    return keys;
}

} // namespace

ScriptedPeer::ScriptedPeer(Script script, Options options) : script_(std::move(script)), options_(options) {
    port_ = listener_.port();
    if (port_ == 0)
        throw std::runtime_error("scripted peer: cannot listen on 127.0.0.1");
    thread_ = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        if (connection_)
            connection_->Shutdown(); // wakes the peer thread's read
    }
    thread_.join();
}

void ScriptedPeer::Serve() {
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (stopping_)
                return;
        }
        std::unique_ptr<testpeer::Connection> accepted = listener_.Accept(kAcceptPollMs);
        if (!accepted)
            continue;
        testpeer::Connection* connection = accepted.get();
        {
            std::lock_guard guard(lock_);
            if (stopping_)
                return;
            connection_ = std::move(accepted);
            closed_ = false;
            ++connections_;
        }
        ServeConnection(*connection);
        std::lock_guard guard(lock_);
        connection_.reset();
        if (stopping_)
            return;
    }
}

void ScriptedPeer::ServeConnection(testpeer::Connection& connection) {
    auto buffers = std::make_unique<CodecBuffers>();
    for (;;) {
        std::vector<uint8_t> msg;
        char packetType = 0;
        if (!connection.ReadPacket(msg, packetType, TheKeys().fixed, TheKeys().installerSend, kRequestWaitMs))
            return;
        uint16_t type = msg.size() >= MessageHeader::kSize ? PeekMsgType(msg.data()) : 0;
        if (type == kMsgAuthentReq) {
            std::vector<uint8_t> answer(kAuthentRspSize);
            BuildAuthentResponse(options_.authError, kInstallerSendKey, 0, kInstallerRecvKey, answer.data());
            auto packet = std::make_unique<uint8_t[]>(kPacketAreaSize);
            size_t len =
                EncodePacket(answer.data(), answer.size(), '4', TheKeys().fixed, packet.get(), *buffers);
            connection.Send(packet.get(), len);
            for (const auto& early : options_.afterAuthent)
                Reply(early);
        } else if (type == kMsgLoginReq) {
            std::vector<uint8_t> answer(MessageHeader::kSize);
            BuildLoginResponse(options_.loginError, nullptr, 0, answer.data(), answer.size());
            Reply(answer);
        } else {
            {
                std::lock_guard guard(lock_);
                requests_.push_back(msg);
            }
            script_(*this, msg);
        }
        std::lock_guard guard(lock_);
        if (closed_)
            return;
    }
}

std::vector<uint8_t> ScriptedPeer::Packet(const std::vector<uint8_t>& message) {
    auto buffers = std::make_unique<CodecBuffers>();
    auto packet = std::make_unique<uint8_t[]>(kPacketAreaSize);
    size_t len =
        EncodePacket(message.data(), message.size(), '6', TheKeys().installerRecv, packet.get(), *buffers);
    if (len == 0)
        throw std::runtime_error("scripted peer: message cannot be encoded");
    return std::vector<uint8_t>(packet.get(), packet.get() + len);
}

void ScriptedPeer::Reply(const std::vector<uint8_t>& message) {
    SendRaw(Packet(message));
}

bool ScriptedPeer::SendRaw(const std::vector<uint8_t>& bytes) {
    testpeer::Connection* connection;
    {
        std::lock_guard guard(lock_);
        if (!connection_ || closed_)
            return false;
        connection = connection_.get();
    }
    // Only the peer thread drops the connection, and the script runs on it.
    return connection->Send(bytes);
}

void ScriptedPeer::CloseConnection() {
    std::lock_guard guard(lock_);
    if (connection_ && !closed_) {
        connection_->Shutdown();
        connection_->Close();
        closed_ = true;
    }
}

std::vector<std::vector<uint8_t>> ScriptedPeer::Requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

int ScriptedPeer::Connections() const {
    std::lock_guard guard(lock_);
    return connections_;
}
