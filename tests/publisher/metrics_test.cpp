// Tests of the metrics text and the monitoring endpoint that serves it.
#include "publisher/ops/metrics.h"
#include "publisher/ops/metrics_http.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <fstream>
#include <thread>

using namespace publisher;
using namespace std::chrono_literals;

namespace {

const std::function<std::string()> kBody = [] { return std::string("orvane_x 1\n"); };

std::string Answer(std::string_view head, bool healthy = true) {
    return AnswerMetricsRequest(head, kBody, [healthy] { return healthy; });
}

std::string StatusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

// The endpoint on a free loopback port, its io_context on a thread of the test's own.
struct Running {
    asio::io_context io;
    MetricsEndpoint endpoint;
    std::thread thread;

    explicit Running(std::chrono::milliseconds requestTime = 5s)
        : endpoint(
              io, kBody, [] { return true; }, requestTime) {
        const Status listening = endpoint.Listen({"127.0.0.1", 0});
        EXPECT_TRUE(listening) << listening.error().message();
        thread = std::thread([this] { io.run(); });
    }
    ~Running() {
        asio::post(io, [this] { endpoint.Close(); });
        io.stop();
        thread.join();
    }
};

// Sends `request` and reads until the peer closes; "" when it closed before answering.
std::string Exchange(uint16_t port, const std::string& request) {
    asio::io_context io;
    asio::ip::tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), port});
    asio::write(s, asio::buffer(request));
    std::string got;
    asio::error_code ec;
    std::array<char, 4096> buf;
    while (!ec)
        got.append(buf.data(), s.read_some(asio::buffer(buf), ec));
    return got;
}

} // namespace

// Tests that every counter appears with its value and that promtool, the format's own checker,
// accepts the whole text, a server name that needs escaping included.
TEST(MetricsTest, TextIsValidExpositionFormat) {
    Metrics m;
    m.connectionsTotal[Metrics::kDownload] = 7;
    m.downloadsCompleted = 3;
    m.wireBytesSent = 123456789012;
    m.SetServerUp("203.0.113.11:31712", true);
    m.SetServerUp("odd\"name\\", false);
    const std::string text = m.Render();
    EXPECT_NE(text.find("orvane_connections_total{service=\"download\"} 7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("orvane_downloads_completed_total 3\n"), std::string::npos);
    EXPECT_NE(text.find("orvane_sent_bytes_total{kind=\"wire\"} 123456789012\n"), std::string::npos);
    EXPECT_NE(text.find("orvane_download_server_up{server=\"203.0.113.11:31712\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("orvane_download_server_up{server=\"odd\\\"name\\\\\"} 0\n"), std::string::npos);

    publisher::testing::TempFolder tmp;
    std::ofstream(tmp.path() / "metrics.txt") << text;
    const std::string command = std::string(ORVANE_PROMTOOL) + " check metrics < " +
                                (tmp.path() / "metrics.txt").string() + " > " +
                                (tmp.path() / "out.txt").string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << std::ifstream(tmp.path() / "out.txt").rdbuf();
}

// Tests the answers to well-formed, unknown and malformed requests.
TEST(MetricsTest, AnswersEachRequest) {
    const std::string metrics = Answer("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(StatusLine(metrics), "HTTP/1.1 200 OK");
    EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    EXPECT_NE(metrics.find("Content-Length: 11\r\n"), std::string::npos);
    EXPECT_EQ(metrics.substr(metrics.size() - 11), "orvane_x 1\n");
    EXPECT_EQ(StatusLine(Answer("GET /metrics?x=1 HTTP/1.0\r\n\r\n")), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusLine(Answer("GET /healthz HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusLine(Answer("GET /healthz HTTP/1.1\r\n\r\n", false)), "HTTP/1.1 503 Service Unavailable");
    const std::string head = Answer("HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    EXPECT_EQ(StatusLine(Answer("POST /metrics HTTP/1.1\r\n\r\n")), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(StatusLine(Answer("GET /etc/passwd HTTP/1.1\r\n\r\n")), "HTTP/1.1 404 Not Found");
    for (std::string_view bad :
         {"\r\n\r\n", "GET\r\n\r\n", "GET /metrics\r\n\r\n", "GET /metrics HTTP/1.1 x\r\n\r\n",
          "GET /metrics SMTP/1.1\r\n\r\n", "GET /metrics HTTP/1.1"})
        EXPECT_EQ(StatusLine(Answer(bad)), "HTTP/1.1 400 Bad Request") << bad;
}

// Tests the endpoint on a socket: it answers a request, refuses an oversized head,
// closes a connection that sends nothing within the request time, and closes connections beyond its
// limit at once while the earlier ones still wait.
TEST(MetricsTest, EndpointBoundsWhatAClientCanHold) {
    Running r(300ms);
    const uint16_t port = r.endpoint.Port();
    ASSERT_NE(port, 0);
    EXPECT_EQ(StatusLine(Exchange(port, "GET /healthz HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusLine(Exchange(port, "GET /metrics HTTP/1.1\r\nX: " + std::string(5000, 'a'))),
              "HTTP/1.1 431 Request Header Fields Too Large");

    asio::io_context io;
    std::vector<asio::ip::tcp::socket> idle;
    for (unsigned i = 0; i < MetricsEndpoint::kMaxConnections; ++i) {
        idle.emplace_back(io);
        idle.back().connect({asio::ip::make_address("127.0.0.1"), port});
    }
    std::this_thread::sleep_for(50ms); // accepted in order: the next one is over the limit however late
    EXPECT_EQ(Exchange(port, "GET /healthz HTTP/1.1\r\n\r\n"), "");
    // The idle ones are closed once their request time is over; then the endpoint answers again.
    std::array<char, 16> buf;
    asio::error_code ec;
    idle.front().read_some(asio::buffer(buf), ec);
    EXPECT_EQ(ec, asio::error::eof);
    std::string again;
    for (int i = 0; i < 100 && again.empty(); ++i, std::this_thread::sleep_for(50ms))
        again = Exchange(port, "GET /healthz HTTP/1.1\r\n\r\n");
    EXPECT_EQ(StatusLine(again), "HTTP/1.1 200 OK");
}
