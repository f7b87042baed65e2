// A thousand unauthenticated connections against the publisher: what they make it hold.
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace publisher::testing;
using namespace std::chrono_literals;

namespace {

// Connects to 127.0.0.1:port and sends `bytes` without waiting for them to be taken; -1 on failure.
int Flood(uint16_t port, const std::vector<uint8_t>& bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return fd;
}

// Whether the service closed the connection (a read ends) within `limit`.
bool Closed(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(limit.count())) <= 0)
        return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

} // namespace

// Tests that 1,000 connections each sending all but the last byte of a largest packet before
// authenticating are all closed, and prints what the publisher holds with them and with 1,000 that
// each hold the most an unauthenticated connection may (all but a byte of an authentication packet).
TEST(PreAuthSoakTest, AThousandUnauthenticatedConnectionsHoldLittle) {
    TempFolder package, work;
    WriteStandardPackage(package.path());
    PublisherProcess p({"--package", package.path().string(), "--check", "127.0.0.1:0", "--download",
                        "127.0.0.1:0", "--max-connections", "5000", "--max-per-address", "5000",
                        "--auth-seconds", "600", "--probe-seconds", "0", "--log",
                        (work.path() / "events.log").string()});
    ASSERT_TRUE(p.started());
    std::this_thread::sleep_for(200ms);
    const long before = ResidentKiB(p.pid());

    std::vector<uint8_t> longPacket{'#', '4', 0xFF, 0xFF, 0x01, 0x00};
    longPacket.resize(6 + 131071 - 1, 0x5A);
    std::vector<int> fds;
    for (int i = 0; i < 1000; ++i)
        fds.push_back(Flood(p.checkPort(), longPacket));
    std::this_thread::sleep_for(1s);
    const long afterLong = ResidentKiB(p.pid());
    size_t closed = 0;
    for (int fd : fds) {
        closed += fd >= 0 && Closed(fd, 2000ms);
        ::close(fd);
    }
    EXPECT_EQ(closed, 1000u);

    // Within the limit: a header announcing 192 bytes, then 191 of them.
    std::vector<uint8_t> shortPacket{'#', '4', 192, 0, 0, 0};
    shortPacket.resize(6 + 191, 0x5A);
    fds.clear();
    for (int i = 0; i < 1000; ++i)
        fds.push_back(Flood(p.checkPort(), shortPacket));
    std::this_thread::sleep_for(1s);
    const long afterShort = ResidentKiB(p.pid());
    for (int fd : fds)
        ::close(fd);
    std::printf("[ figure ] publisher resident: %ld KiB idle; %ld KiB with 1000 connections sending a "
                "largest packet before authenticating; %ld KiB with 1000 holding 197 bytes each\n",
                before, afterLong, afterShort);
    EXPECT_EQ(p.Stop(), 0);
}
