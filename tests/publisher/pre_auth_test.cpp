// Tests of what an unauthenticated connection may hold: one authentication packet, nothing longer.
#include "net/session_messages.h"
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/test_client.h"

#include <gtest/gtest.h>

using namespace publisher::testing;
using namespace std::chrono_literals;

namespace {

// A packet header announcing the largest payload a receiver accepts, then `body` bytes of it.
std::vector<uint8_t> LongPacketStart(size_t body) {
    std::vector<uint8_t> bytes{'#', '4', 0xFF, 0xFF, 0x01, 0x00}; // 131,071
    bytes.resize(bytes.size() + body, 0x5A);
    return bytes;
}

} // namespace

// Tests that a header announcing more than an authentication packet closes an unauthenticated
// connection at once (not at the authentication deadline), on both services, while an authenticated
// connection may still send packets of any valid length.
TEST(PreAuthTest, ALongPacketBeforeAuthenticationClosesTheConnection) {
    ServedPackage served({"--auth-seconds", "60"});
    ASSERT_TRUE(served.process->started());
    for (uint16_t port : {served.process->checkPort(), served.process->downloadPorts()[0]}) {
        TestClient c;
        ASSERT_TRUE(c.Connect(port));
        ASSERT_TRUE(c.SendRaw(LongPacketStart(4096)));
        EXPECT_TRUE(ClosedWithin(c, 5000ms)) << port;
    }
    TestClient good;
    ASSERT_TRUE(good.Connect(served.process->checkPort()));
    ASSERT_EQ(good.Authenticate(), 0u);
    std::vector<uint8_t> big(60000, 0);
    BuildHeartbeatRequest(big.data());
    ASSERT_TRUE(good.Send(big)); // an over-long heartbeat: answered as one, after authentication
    EXPECT_TRUE(good.Alive());
    EXPECT_NE(served.Log().find("packet too long before authentication"), std::string::npos) << served.Log();
}

// Tests that an installer whose heartbeat and authentication arrive back to back is still answered and
// authenticated, although an unauthenticated connection gets one answer at a time.
TEST(PreAuthTest, PipelinedRequestsBeforeAuthenticationAreAllAnswered) {
    ServedPackage served;
    ASSERT_TRUE(served.process->started());
    TestClient c;
    ASSERT_TRUE(c.Connect(served.process->checkPort()));
    std::vector<uint8_t> hb(kHeartbeatReqSize);
    BuildHeartbeatRequest(hb.data());
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(c.Send(hb));
    ASSERT_EQ(c.Authenticate(), 0u);
    EXPECT_EQ(c.Login("tulip", "tulip"), 0u);
}
