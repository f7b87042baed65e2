// The session-level messages: link authentication, heartbeat, login and the server notice, for both
// ends of the link (the installer sends requests and reads answers; the publishing service reads
// requests and builds answers). Every builder fills a zero-initialised buffer of the exact size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr uint16_t kMsgAuthentReq = 1;
constexpr uint16_t kMsgAuthentRsp = 2;
constexpr uint16_t kMsgHeartbeatReq = 17;
constexpr uint16_t kMsgHeartbeatRsp = 18;
constexpr uint16_t kMsgLoginReq = 12304;
constexpr uint16_t kMsgLoginRsp = 12305;
constexpr uint16_t kMsgServerNotice = 12307;

// The fixed key every type '3'/'4' packet uses, and the credential of the authentication request.
constexpr std::string_view kFixedKeyText = "k7#Qm!2x,Wp&9;zR";
constexpr std::string_view kCredential = "82#t4kq-mrd!7wop$19";

constexpr size_t kAuthentReqSize = 119;
constexpr size_t kCredentialOffset = 86;
constexpr size_t kCredentialWidth = 21;

// The authentication answer: key texts are NUL-terminated (only their first 16 bytes count) in
// fields of 25 bytes; the heartbeat interval is a signed 32-bit number of seconds.
constexpr size_t kSendKeyOffset = 82;
constexpr size_t kHeartbeatOffset = 107;
constexpr size_t kRecvKeyOffset = 115;
constexpr size_t kKeyTextWidth = 25;
constexpr size_t kAuthentRspSize = kRecvKeyOffset + kKeyTextWidth; // 140, what BuildAuthentResponse writes
// Shortest successful answer the installer accepts: the receive-key text must start inside it.
constexpr size_t kAuthentRspMinSize = kRecvKeyOffset + 1;

constexpr size_t kHeartbeatReqSize = 78;
constexpr size_t kHeartbeatRspSize = 74;
constexpr size_t kLoginReqSize = 147;
constexpr size_t kLoginBodyOffset = 74;

// User name and password of the login request: 73 bytes on the wire.
struct UserRecord {
    static constexpr size_t kSize = 73;
    static constexpr size_t kUserNameOffset = 0;
    static constexpr size_t kUserNameWidth = 51;
    static constexpr size_t kPasswordOffset = 52;
    static constexpr size_t kPasswordWidth = 21;

    std::string userName; // at most 50 characters are written
    std::string password; // at most 20 characters are written

    void Encode(uint8_t* out) const;
    static UserRecord Decode(const uint8_t* in);
};

// ---- installer side ----
void BuildAuthentRequest(uint8_t out[kAuthentReqSize]);
void BuildHeartbeatRequest(uint8_t out[kHeartbeatReqSize]);
// record: the 73 encoded bytes of a UserRecord.
void BuildLoginRequest(const uint8_t record[UserRecord::kSize], uint8_t out[kLoginReqSize]);

struct AuthentAnswer {
    uint32_t errorCode = 0;
    std::string_view sendKeyText; // set only when errorCode is 0
    int32_t heartbeatSeconds = 0;
    std::string_view recvKeyText;
};
// Reads message 2. False when the message is too short for what it must carry: the header, and for
// a success also the key texts and the interval; such an answer must be ignored.
bool ReadAuthentAnswer(const uint8_t* msg, size_t len, AuthentAnswer& answer);

// ---- service side ----
// Reads message 1; false unless it is one and long enough to hold the credential field.
bool ReadAuthentRequest(const uint8_t* msg, size_t len, std::string_view& credential);
// Writes kAuthentRspSize bytes. Key texts are cut to 24 characters.
void BuildAuthentResponse(uint32_t errorCode, std::string_view sendKeyText, int32_t heartbeatSeconds,
                          std::string_view recvKeyText, uint8_t out[kAuthentRspSize]);
void BuildHeartbeatResponse(uint8_t out[kHeartbeatRspSize]);
// Reads message 12304; false unless it is one and holds the whole user record.
bool ReadLoginRequest(const uint8_t* msg, size_t len, UserRecord& record);
// Writes 74 + bodyLen bytes (one record of bodyLen bytes when there is a body) into out; returns the
// length, or 0 when capacity is too small.
size_t BuildLoginResponse(uint32_t errorCode, const uint8_t* body, size_t bodyLen, uint8_t* out,
                          size_t capacity);
// Writes a 74-byte server notice.
void BuildServerNotice(uint32_t errorCode, uint8_t out[kHeartbeatRspSize]);
