#include "net/session_messages.h"

#include "core/wire.h"
#include "net/message_header.h"

#include <cstring>

void UserRecord::Encode(uint8_t* out) const {
    std::memset(out, 0, kSize);
    wire::StoreText(out + kUserNameOffset, kUserNameWidth, userName);
    wire::StoreText(out + kPasswordOffset, kPasswordWidth, password);
}

UserRecord UserRecord::Decode(const uint8_t* in) {
    UserRecord r;
    r.userName = std::string(wire::LoadText(in + kUserNameOffset, kUserNameWidth));
    r.password = std::string(wire::LoadText(in + kPasswordOffset, kPasswordWidth));
    return r;
}

namespace {

void StartRequest(uint8_t* out, size_t size, uint16_t msgType) {
    std::memset(out, 0, size);
    MessageHeader::Request(msgType, uint32_t(size - MessageHeader::kSize)).Encode(out);
}

void StartAnswer(uint8_t* out, size_t size, uint16_t msgType, uint32_t errorCode) {
    std::memset(out, 0, size);
    MessageHeader h;
    h.MsgType = msgType;
    h.ErrorCode = errorCode;
    if (size > MessageHeader::kSize) {
        h.RecCount = 1;
        h.RecSize = uint32_t(size - MessageHeader::kSize);
    }
    h.Encode(out);
}

bool IsMessage(const uint8_t* msg, size_t len, uint16_t msgType) {
    return msg != nullptr && len >= MessageHeader::kSize && PeekMsgType(msg) == msgType;
}

} // namespace

void BuildAuthentRequest(uint8_t out[kAuthentReqSize]) {
    StartRequest(out, kAuthentReqSize, kMsgAuthentReq);
    wire::StoreText(out + kCredentialOffset, kCredentialWidth, kCredential);
}

void BuildHeartbeatRequest(uint8_t out[kHeartbeatReqSize]) {
    StartRequest(out, kHeartbeatReqSize, kMsgHeartbeatReq);
}

void BuildLoginRequest(const uint8_t record[UserRecord::kSize], uint8_t out[kLoginReqSize]) {
    StartRequest(out, kLoginReqSize, kMsgLoginReq);
    // The header repeats the record's user name (at most 50 characters).
    wire::StoreText(out + MessageHeader::kUserNameOffset, MessageHeader::kUserNameWidth,
                    wire::LoadText(record + UserRecord::kUserNameOffset, UserRecord::kUserNameWidth));
    std::memcpy(out + kLoginBodyOffset, record, UserRecord::kSize);
}

bool ReadAuthentAnswer(const uint8_t* msg, size_t len, AuthentAnswer& answer) {
    if (!IsMessage(msg, len, kMsgAuthentRsp))
        return false;
    AuthentAnswer a;
    a.errorCode = PeekErrorCode(msg);
    if (a.errorCode == 0) {
        if (len < kAuthentRspMinSize)
            return false;
        // Only the first 16 bytes of a key text make the key, so reading at most 16 gives the
        // same key as reading to the NUL, and never leaves the message.
        a.sendKeyText = wire::LoadText(msg + kSendKeyOffset, 16);
        a.heartbeatSeconds = int32_t(wire::LoadU32(msg + kHeartbeatOffset));
        size_t room = len - kRecvKeyOffset;
        a.recvKeyText = wire::LoadText(msg + kRecvKeyOffset, room < 16 ? room : 16);
    }
    answer = a;
    return true;
}

bool ReadAuthentRequest(const uint8_t* msg, size_t len, std::string_view& credential) {
    if (!IsMessage(msg, len, kMsgAuthentReq) || len < kCredentialOffset + kCredentialWidth)
        return false;
    credential = wire::LoadText(msg + kCredentialOffset, kCredentialWidth);
    return true;
}

void BuildAuthentResponse(uint32_t errorCode, std::string_view sendKeyText, int32_t heartbeatSeconds,
                          std::string_view recvKeyText, uint8_t out[kAuthentRspSize]) {
    StartAnswer(out, kAuthentRspSize, kMsgAuthentRsp, errorCode);
    wire::StoreText(out + kSendKeyOffset, kKeyTextWidth, sendKeyText);
    wire::StoreU32(out + kHeartbeatOffset, uint32_t(heartbeatSeconds));
    wire::StoreText(out + kRecvKeyOffset, kKeyTextWidth, recvKeyText);
}

void BuildHeartbeatResponse(uint8_t out[kHeartbeatRspSize]) {
    StartAnswer(out, kHeartbeatRspSize, kMsgHeartbeatRsp, 0);
}

bool ReadLoginRequest(const uint8_t* msg, size_t len, UserRecord& record) {
    if (!IsMessage(msg, len, kMsgLoginReq) || len < kLoginBodyOffset + UserRecord::kSize)
        return false;
    record = UserRecord::Decode(msg + kLoginBodyOffset);
    return true;
}

size_t BuildLoginResponse(uint32_t errorCode, const uint8_t* body, size_t bodyLen, uint8_t* out,
                          size_t capacity) {
    if (body == nullptr)
        bodyLen = 0;
    size_t size = MessageHeader::kSize + bodyLen;
    if (out == nullptr || capacity < size)
        return 0;
    StartAnswer(out, size, kMsgLoginRsp, errorCode);
    if (bodyLen != 0)
        std::memcpy(out + kLoginBodyOffset, body, bodyLen);
    return size;
}

void BuildServerNotice(uint32_t errorCode, uint8_t out[kHeartbeatRspSize]) {
    StartAnswer(out, kHeartbeatRspSize, kMsgServerNotice, errorCode);
}
