// Tests of the publisher behind a TCP load balancer (--proxy-protocol-from): the PROXY header names the
// client for the per-address limit, the log and the metrics; a listed balancer must send one.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/test_client.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

using namespace publisher::testing;
using namespace std::chrono_literals;

namespace {

// A version 2 header for the client 203.0.113.`host`:40001.
std::vector<uint8_t> ProxyV2(uint8_t host) {
    return {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, 0x21, 0x11,
            0,    12,   203,  0,    113,  host, 10,   0,    0,    1,    0x9C, 0x41, 0x7B, 0xDF};
}

// The version 1 header for 203.0.113.`host`, one byte per segment.
bool TrickleProxyV1(TestClient& c, int host) {
    const std::string line = "PROXY TCP4 203.0.113." + std::to_string(host) + " 10.0.0.1 40002 31712\r\n";
    for (char b : line) {
        if (!c.SendRaw({uint8_t(b)}))
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

} // namespace

// Tests that a listed balancer's connections are served as the clients their headers name (an install's
// check and download, the header in one segment with the first packet or trickled byte by byte), that
// the per-address limit counts the named client and releases it at close, that a listed balancer's
// connection without a header is closed and counted on both services, and that a header from an
// unlisted address is no header.
TEST(ProxyProtocolTest, TheHeaderNamesTheClient) {
    ServedPackage served({"--proxy-protocol-from", "127.0.0.1", "--max-per-address", "1", "--auth-seconds",
                          "1", "--metrics", "127.0.0.1:0"});
    ASSERT_TRUE(served.process->started());
    const uint16_t check = served.process->checkPort(), download = served.process->downloadPorts()[0];

    TestClient a;
    ASSERT_TRUE(a.Connect(check));
    a.SetPrelude(ProxyV2(7));
    ASSERT_EQ(a.Authenticate(), 0u);
    ASSERT_EQ(a.Login("tulip", "tulip"), 0u);
    auto modules = a.ModuleCheck("000185", 12, 3);
    ASSERT_TRUE(modules);

    TestClient sameClient;
    ASSERT_TRUE(sameClient.Connect(download));
    ASSERT_TRUE(TrickleProxyV1(sameClient, 7));
    EXPECT_TRUE(ClosedWithin(sameClient, 5000ms));

    TestClient otherClient;
    ASSERT_TRUE(otherClient.Connect(download));
    ASSERT_TRUE(TrickleProxyV1(otherClient, 8));
    ASSERT_EQ(otherClient.Authenticate(), 0u);
    auto got = otherClient.Download({Named(*modules, "server")}, served.work.path() / "dl");
    EXPECT_EQ(got.completed, std::set<std::string>{"server"});

    for (uint16_t port : {check, download}) {
        TestClient bare;
        ASSERT_TRUE(bare.Connect(port));
        EXPECT_FALSE(bare.Authenticate()) << port;
    }
    TestClient silent;
    ASSERT_TRUE(silent.Connect(check));
    EXPECT_TRUE(ClosedWithin(silent, 5000ms));

    TestClient unlisted;
    ASSERT_TRUE(unlisted.Connect(check, 0, "127.0.0.2"));
    unlisted.SetPrelude(ProxyV2(8));
    EXPECT_FALSE(unlisted.Authenticate());

    auto m = ScrapeMetrics(served.process->metricsPort());
    EXPECT_EQ(m["orvane_proxy_header_rejected_total"], 3u);
    EXPECT_EQ(m["orvane_connections_total{service=\"check\"}"], 2u);
    EXPECT_EQ(m["orvane_connections_total{service=\"download\"}"], 1u);
    EXPECT_EQ(m["orvane_connections_refused_total{service=\"download\"}"], 1u);
    const std::string log = served.Log();
    EXPECT_NE(log.find("203.0.113.7:40001 via 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("203.0.113.7:40002 via 127.0.0.1:"), std::string::npos) << log;
    EXPECT_EQ(Count(log, "refused: 1 connections open from 203.0.113.7"), 1u) << log;
    EXPECT_EQ(Count(log, "closed: no valid PROXY header: no PROXY signature"), 2u) << log;
    EXPECT_EQ(Count(log, "closed: no valid PROXY header: no whole header within 1 s"), 1u) << log;
    EXPECT_NE(log.find(" 127.0.0.2:"), std::string::npos) << log;

    // Closing the first connection frees its client's place.
    a.Close();
    bool again = false;
    for (int i = 0; i < 50 && !again; ++i) {
        TestClient next;
        next.SetPrelude(ProxyV2(7));
        again = next.Connect(check) && next.Authenticate() == 0u;
        if (!again)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(again);
}
