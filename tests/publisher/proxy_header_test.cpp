// Tests of the PROXY header parser: the headers a balancer sends, hostile ones, and every split.
#include "publisher/serving/proxy_header.h"

#include <gtest/gtest.h>

using namespace publisher;
using Verdict = ProxyHeader::Verdict;

namespace {

std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// A version 2 header: the signature, `command` (0x20 LOCAL, 0x21 PROXY), `family`, then `block`.
std::vector<uint8_t> V2(uint8_t command, uint8_t family, std::vector<uint8_t> block) {
    std::vector<uint8_t> h{0x0D,
                           0x0A,
                           0x0D,
                           0x0A,
                           0x00,
                           0x0D,
                           0x0A,
                           0x51,
                           0x55,
                           0x49,
                           0x54,
                           0x0A,
                           command,
                           family,
                           uint8_t(block.size() >> 8),
                           uint8_t(block.size())};
    h.insert(h.end(), block.begin(), block.end());
    return h;
}

// 203.0.113.7:51234 to 10.0.0.1:31711, then `extra` (TLVs).
std::vector<uint8_t> Inet(std::vector<uint8_t> extra = {}) {
    std::vector<uint8_t> b{203, 0, 113, 7, 10, 0, 0, 1, 0xC8, 0x22, 0x7B, 0xDF};
    b.insert(b.end(), extra.begin(), extra.end());
    return b;
}

std::vector<uint8_t> Inet6() {
    std::vector<uint8_t> b(36, 0);
    b[0] = 0x20, b[1] = 0x01, b[2] = 0x0d, b[3] = 0xb8, b[15] = 7; // 2001:db8::7
    b[32] = 0xC8, b[33] = 0x22;
    return b;
}

struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string expected; // valid: the client's address, "" for the balancer's own; invalid: the reason
    uint16_t port = 0;
};

} // namespace

// Tests that each valid header is read with its client (or as the balancer's own), that no prefix of it
// is taken for a verdict, and that the client's bytes behind it are left alone.
TEST(ProxyHeaderTest, ReadsValidHeadersSplitAnywhere) {
    const std::vector<Case> cases = {
        {"v1 TCP4", Bytes("PROXY TCP4 203.0.113.7 10.0.0.1 51234 31711\r\n"), "203.0.113.7", 51234},
        {"v1 TCP6", Bytes("PROXY TCP6 2001:DB8:0::7 2001:db8::1 0 31711\r\n"), "2001:db8::7", 0},
        {"v1 longest",
         Bytes("PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ffff:ffff:ffff:ffff:ffff:ffff:"
               "ffff:ffff 65535 65535\r\n"),
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535},
        {"v1 UNKNOWN", Bytes("PROXY UNKNOWN\r\n"), ""},
        {"v1 UNKNOWN with addresses", Bytes("PROXY UNKNOWN ::1 ::1 1 2\r\n"), ""},
        {"v2 TCP4", V2(0x21, 0x11, Inet()), "203.0.113.7", 51234},
        {"v2 TCP4 with TLVs", V2(0x21, 0x11, Inet({0x05, 0x00, 0x03, 'a', 'b', 'c', 0x04, 0x00, 0x00})),
         "203.0.113.7", 51234},
        {"v2 TCP6", V2(0x21, 0x21, Inet6()), "2001:db8::7", 51234},
        {"v2 LOCAL", V2(0x20, 0x00, {}), ""},
        {"v2 LOCAL with an address", V2(0x20, 0x11, Inet()), ""},
        {"v2 UNSPEC", V2(0x21, 0x00, {1, 2, 3}), ""},
        {"v2 longest", V2(0x21, 0x11, Inet(std::vector<uint8_t>(kMaxProxyV2Payload - 12, 0))), "203.0.113.7",
         51234},
    };
    const std::vector<uint8_t> client{'#', '4', 0x10, 0, 0, 0, 'x'};
    for (const Case& c : cases) {
        for (size_t n = 0; n < c.bytes.size(); ++n)
            ASSERT_EQ(ParseProxyHeader({c.bytes.data(), n}).verdict, Verdict::NeedMore)
                << c.name << " at " << n;
        std::vector<uint8_t> stream = c.bytes;
        stream.insert(stream.end(), client.begin(), client.end());
        const ProxyHeader h = ParseProxyHeader(stream);
        ASSERT_EQ(h.verdict, Verdict::Done) << c.name << ": " << h.reason;
        EXPECT_EQ(h.length, c.bytes.size()) << c.name;
        EXPECT_EQ(h.local, c.expected.empty()) << c.name;
        EXPECT_EQ(h.address, c.expected) << c.name;
        EXPECT_EQ(h.port, c.port) << c.name;
    }
}

// Tests that hostile and broken headers are refused with their reason, never read as a header at any
// split, and that the verdict comes as soon as the bytes show it.
TEST(ProxyHeaderTest, RefusesBrokenHeadersAtEverySplit) {
    std::vector<uint8_t> badSignature = V2(0x21, 0x11, Inet());
    badSignature[7] ^= 0x20;
    const std::vector<Case> cases = {
        {"installer packet", {'#', '4', 0x10, 0, 0, 0}, "no PROXY signature"},
        {"v2 signature", badSignature, "no PROXY signature"},
        {"LF alone", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n"), "version 1 line not ended"},
        {"CR inside", Bytes("PROXY TCP4 1.2.3.4\r5.6.7.8 1 2\r\n"), "version 1 line with a CR"},
        {"no line end", Bytes("PROXY UNKNOWN " + std::string(93, 'a') + "\r\n"), "version 1 line longer"},
        {"unknown protocol", Bytes("PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n"), "version 1 line with an unknown"},
        {"double space", Bytes("PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n"), "version 1 line without"},
        {"extra field", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n"), "version 1 line without"},
        {"IPv6 as TCP4", Bytes("PROXY TCP4 ::1 ::1 1 2\r\n"), "version 1 line with an address"},
        {"NUL in address", Bytes(std::string("PROXY TCP4 1.2.3.4") + '\0' + " 5.6.7.8 1 2\r\n"),
         "version 1 line with an"},
        {"port letters", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 1x 2\r\n"), "version 1 line with a port"},
        {"port too big", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n"), "version 1 line with a port"},
        {"port zero padded", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n"), "version 1 line with a port"},
        {"v2 version 1", V2(0x11, 0x11, Inet()), "version 2 header with an unknown version"},
        {"v2 command 2", V2(0x22, 0x11, Inet()), "version 2 header with an unknown version"},
        {"v2 family 4", V2(0x21, 0x41, Inet()), "version 2 header with an unknown address"},
        {"v2 TLV flood", V2(0x21, 0x11, Inet(std::vector<uint8_t>(kMaxProxyV2Payload - 11, 0))),
         "version 2 header longer"},
        {"v2 short block", V2(0x21, 0x11, {203, 0, 113, 7, 10, 0, 0, 1}),
         "version 2 header with an address block"},
        {"v2 UDP", V2(0x21, 0x12, Inet()), "version 2 header for a connection that is not TCP"},
        {"v2 unix", V2(0x21, 0x31, std::vector<uint8_t>(216, 0)),
         "version 2 header for a connection that is not TCP"},
    };
    for (const Case& c : cases) {
        bool refused = false;
        for (size_t n = 0; n <= c.bytes.size() && !refused; ++n) {
            const ProxyHeader h = ParseProxyHeader({c.bytes.data(), n});
            ASSERT_NE(h.verdict, Verdict::Done) << c.name << " at " << n;
            refused = h.verdict == Verdict::Invalid;
            if (refused) {
                EXPECT_TRUE(h.reason.starts_with(c.expected)) << c.name << ": " << h.reason;
            }
        }
        EXPECT_TRUE(refused) << c.name;
    }
}
