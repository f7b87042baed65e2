// Tests that the session messages and the message header have their exact byte layouts.
#include "core/wire.h"
#include "net/message_header.h"
#include "net/session_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// Tests that every header field lands at its offset and reads back, and that short input is refused.
TEST(MessageHeaderLayout, EncodeDecodeOffsets) {
    MessageHeader h;
    h.ReservedA = 0x0102;
    h.ReservedB = 0x03040506;
    h.MsgType = 0x3052;
    h.LastFlag = '1';
    h.RecCount = 0x0708;
    h.RecSize = 0x090A0B0C;
    h.ReservedC = 0x0D0E0F10;
    h.UserName = std::string(60, 'u');
    h.ErrorCode = 0x11121314;
    uint8_t b[74];
    std::memset(b, 0xCC, sizeof b);
    h.Encode(b);
    EXPECT_EQ(0x0102, wire::LoadU16(b + 0));
    EXPECT_EQ(0x03040506u, wire::LoadU32(b + 2));
    EXPECT_EQ(0x52, b[6]);
    EXPECT_EQ(0x30, b[7]);
    EXPECT_EQ('1', b[8]);
    EXPECT_EQ(0x0708, wire::LoadU16(b + 9));
    EXPECT_EQ(0x090A0B0Cu, wire::LoadU32(b + 11));
    EXPECT_EQ(0x0D0E0F10u, wire::LoadU32(b + 15));
    EXPECT_EQ(std::string(50, 'u'), std::string(reinterpret_cast<char*>(b + 19)));
    EXPECT_EQ(0, b[69]);
    EXPECT_EQ(0x11121314u, wire::LoadU32(b + 70));

    MessageHeader back;
    ASSERT_TRUE(back.Decode(b, 74));
    EXPECT_EQ(0x3052, back.MsgType);
    EXPECT_EQ(0x0708, back.RecCount);
    EXPECT_EQ(std::string(50, 'u'), back.UserName);
    EXPECT_EQ(0x11121314u, back.ErrorCode);
    EXPECT_FALSE(back.Decode(b, 73));
}

// Tests the authentication request: 119 bytes, id 1, one 45-byte record, the credential at 86.
TEST(SessionMessages, AuthentRequestBytes) {
    uint8_t m[kAuthentReqSize];
    std::memset(m, 0xEE, sizeof m);
    BuildAuthentRequest(m);
    MessageHeader h;
    ASSERT_TRUE(h.Decode(m, sizeof m));
    EXPECT_EQ(1, h.MsgType);
    EXPECT_EQ('0', h.LastFlag);
    EXPECT_EQ(1, h.RecCount);
    EXPECT_EQ(45u, h.RecSize);
    EXPECT_TRUE(AllZero(m, 6));
    EXPECT_TRUE(AllZero(m + 15, 59));
    EXPECT_TRUE(AllZero(m + 74, 12));
    EXPECT_EQ(0, std::memcmp(m + 86, "82#t4kq-mrd!7wop$19\0", 20));
    EXPECT_TRUE(AllZero(m + 105, 14));
    std::string_view credential;
    ASSERT_TRUE(ReadAuthentRequest(m, sizeof m, credential));
    EXPECT_EQ(kCredential, credential);
    EXPECT_FALSE(ReadAuthentRequest(m, 106, credential));
}

// Tests the heartbeat request (78 bytes) and the login request (147 bytes, user name twice).
TEST(SessionMessages, HeartbeatAndLoginRequestBytes) {
    uint8_t hb[kHeartbeatReqSize];
    BuildHeartbeatRequest(hb);
    EXPECT_EQ(17, wire::LoadU16(hb + 6));
    EXPECT_EQ(4u, wire::LoadU32(hb + 11));
    EXPECT_TRUE(AllZero(hb + 74, 4));

    UserRecord user{"tulip", "tulip"};
    uint8_t rec[UserRecord::kSize];
    user.Encode(rec);
    EXPECT_EQ(0, std::memcmp(rec, "tulip", 6));
    EXPECT_TRUE(AllZero(rec + 6, 46));
    EXPECT_EQ(0, std::memcmp(rec + 52, "tulip", 6));
    EXPECT_TRUE(AllZero(rec + 58, 15));

    uint8_t login[kLoginReqSize];
    BuildLoginRequest(rec, login);
    EXPECT_EQ(12304, wire::LoadU16(login + 6));
    EXPECT_EQ(73u, wire::LoadU32(login + 11));
    EXPECT_EQ("tulip", wire::LoadText(login + 19, 51));
    EXPECT_EQ(0, std::memcmp(login + 74, rec, 73));
    UserRecord back;
    ASSERT_TRUE(ReadLoginRequest(login, sizeof login, back));
    EXPECT_EQ("tulip", back.userName);
    EXPECT_EQ("tulip", back.password);
    EXPECT_FALSE(ReadLoginRequest(login, 146, back));
}

// Tests that over-long user names and passwords are cut and stay NUL-terminated.
TEST(SessionMessages, UserRecordCutsLongFields) {
    UserRecord user{std::string(80, 'n'), std::string(30, 'p')};
    uint8_t rec[UserRecord::kSize];
    user.Encode(rec);
    UserRecord back = UserRecord::Decode(rec);
    EXPECT_EQ(std::string(50, 'n'), back.userName);
    EXPECT_EQ(std::string(20, 'p'), back.password);
    EXPECT_EQ(0, rec[50]);
    EXPECT_EQ(0, rec[51]);
    EXPECT_EQ(0, rec[72]);
}

// Tests that an authentication answer built by the service side is read back by the installer side.
TEST(SessionMessages, AuthentAnswerRoundTrip) {
    uint8_t m[kAuthentRspSize];
    BuildAuthentResponse(0, "SEND-KEY-0123456", 30, "RECV-KEY-abcdefgh-extra", m);
    EXPECT_EQ(2, wire::LoadU16(m + 6));
    EXPECT_EQ(30u, wire::LoadU32(m + 107));
    AuthentAnswer a;
    ASSERT_TRUE(ReadAuthentAnswer(m, sizeof m, a));
    EXPECT_EQ(0u, a.errorCode);
    EXPECT_EQ("SEND-KEY-0123456", a.sendKeyText);
    EXPECT_EQ(30, a.heartbeatSeconds);
    EXPECT_EQ("RECV-KEY-abcdefg", a.recvKeyText); // only the 16 bytes that make the key

    BuildAuthentResponse(5, "", 0, "", m);
    ASSERT_TRUE(ReadAuthentAnswer(m, 74, a));
    EXPECT_EQ(5u, a.errorCode);
    EXPECT_TRUE(a.sendKeyText.empty());
}

// Tests that answers too short for the offsets they are read at, or of another id, are refused.
TEST(SessionMessages, AuthentAnswerTooShortIsRefused) {
    uint8_t m[kAuthentRspSize];
    BuildAuthentResponse(0, "k", 1, "r", m);
    AuthentAnswer a;
    EXPECT_FALSE(ReadAuthentAnswer(m, 73, a));
    EXPECT_FALSE(ReadAuthentAnswer(m, 74, a));
    EXPECT_FALSE(ReadAuthentAnswer(m, kRecvKeyOffset, a));
    EXPECT_TRUE(ReadAuthentAnswer(m, kRecvKeyOffset + 1, a));
    // A receive-key text running to the end of the message stops there.
    std::vector<uint8_t> cut(m, m + kRecvKeyOffset + 3);
    std::memcpy(cut.data() + kRecvKeyOffset, "xyz", 3);
    ASSERT_TRUE(ReadAuthentAnswer(cut.data(), cut.size(), a));
    EXPECT_EQ("xyz", a.recvKeyText);
    wire::StoreU16(m + 6, 3);
    EXPECT_FALSE(ReadAuthentAnswer(m, sizeof m, a));
}

// Tests the service-side answers: login response with its body, heartbeat answer and notice.
TEST(SessionMessages, ServiceAnswers) {
    uint8_t out[100];
    const uint8_t body[3] = {1, 2, 3};
    ASSERT_EQ(77u, BuildLoginResponse(7, body, 3, out, sizeof out));
    EXPECT_EQ(12305, wire::LoadU16(out + 6));
    EXPECT_EQ(7u, wire::LoadU32(out + 70));
    EXPECT_EQ(0, std::memcmp(out + 74, body, 3));
    EXPECT_EQ(0u, BuildLoginResponse(0, body, 3, out, 76));
    uint8_t hb[kHeartbeatRspSize];
    BuildHeartbeatResponse(hb);
    EXPECT_EQ(18, wire::LoadU16(hb + 6));
    BuildServerNotice(9, hb);
    EXPECT_EQ(12307, wire::LoadU16(hb + 6));
    EXPECT_EQ(9u, wire::LoadU32(hb + 70));
}

} // namespace
