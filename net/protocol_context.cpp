#include "net/protocol_context.h"

#include <cstring>

ProtocolContext::ProtocolContext() {
    SetKey(fixedKey, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
    std::memset(&recvKey_, 0, sizeof recvKey_);
    std::memset(&sendKey_, 0, sizeof sendKey_);
}

void ProtocolContext::SetEndpoint(const char* address, uint16_t portNumber) {
    std::memset(ip, 0, sizeof ip);
    if (address != nullptr)
        std::strncpy(ip, address, sizeof ip - 1);
    port = portNumber;
}

void ProtocolContext::InstallSessionKeys(std::string_view sendKeyText, std::string_view recvKeyText) {
    IdeaKey send, recv;
    SetKey(send, sendKeyText.data(), unsigned(sendKeyText.size()));
    SetKey(recv, recvKeyText.data(), unsigned(recvKeyText.size()));
    std::lock_guard<std::mutex> lock(keyLock_);
    sendKey_ = send;
    recvKey_ = recv;
}

IdeaKey ProtocolContext::SendKey() const {
    std::lock_guard<std::mutex> lock(keyLock_);
    return sendKey_;
}

IdeaKey ProtocolContext::RecvKey() const {
    std::lock_guard<std::mutex> lock(keyLock_);
    return recvKey_;
}
