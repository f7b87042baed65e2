#include "publisher/ops/metrics_http.h"

#include "publisher/ops/listen_socket.h"

namespace publisher {
namespace {

std::string Response(std::string_view status, std::string_view type, std::string_view body) {
    std::string out = "HTTP/1.1 ";
    out.append(status).append("\r\nContent-Type: ").append(type);
    out.append("\r\nContent-Length: ").append(std::to_string(body.size()));
    out.append("\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n").append(body);
    return out;
}

std::string Plain(std::string_view status, std::string_view body) {
    return Response(status, "text/plain; charset=utf-8", body);
}

} // namespace

std::string AnswerMetricsRequest(std::string_view head, const std::function<std::string()>& metrics,
                                 const std::function<bool()>& healthy) {
    // Request line: METHOD SP TARGET SP HTTP/1.x CRLF
    const size_t end = head.find("\r\n");
    const std::string_view line = head.substr(0, end);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (end == std::string_view::npos || sp2 == std::string_view::npos ||
        line.find(' ', sp2 + 1) != line.npos || line.substr(sp2 + 1).substr(0, 7) != "HTTP/1.")
        return Plain("400 Bad Request", "bad request\n");
    const std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?')); // a scraper may add parameters; none are used
    if (target != "/metrics" && target != "/healthz")
        return Plain("404 Not Found", "not found: try /metrics or /healthz\n");
    if (method != "GET" && method != "HEAD")
        return Plain("405 Method Not Allowed", "only GET\n");
    std::string answer;
    if (target == "/metrics")
        answer = Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics());
    else if (healthy())
        answer = Plain("200 OK", "ok\n");
    else
        answer = Plain("503 Service Unavailable", "unavailable\n");
    if (method == "HEAD")
        answer.resize(answer.find("\r\n\r\n") + 4);
    return answer;
}

// One connection: read the head, answer, close. Holds itself alive through its handlers.
struct MetricsEndpoint::Exchange : std::enable_shared_from_this<Exchange> {
    Exchange(asio::ip::tcp::socket s, MetricsEndpoint& owner)
        : socket(std::move(s)), timer(socket.get_executor()), open(owner.open_), metrics(owner.metrics_),
          healthy(owner.healthy_) {
        ++*open;
    }
    ~Exchange() { --*open; }

    void Start(std::chrono::milliseconds limit) {
        timer.expires_after(limit);
        timer.async_wait([self = shared_from_this()](const asio::error_code& ec) {
            if (!ec)
                self->Stop();
        });
        Read();
    }
    void Read() {
        socket.async_read_some(
            asio::buffer(chunk), [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                if (ec)
                    return self->Stop();
                self->head.append(self->chunk.data(), n);
                if (self->head.find("\r\n\r\n") != std::string::npos)
                    return self->Answer(AnswerMetricsRequest(self->head, self->metrics, self->healthy));
                if (self->head.size() >= kMaxRequest)
                    return self->Answer(Plain("431 Request Header Fields Too Large", "request too large\n"));
                self->Read();
            });
    }
    void Answer(std::string text) {
        answer = std::move(text);
        asio::async_write(socket, asio::buffer(answer),
                          [self = shared_from_this()](const asio::error_code&, size_t) { self->Stop(); });
    }
    void Stop() {
        asio::error_code ignored;
        timer.cancel();
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    std::shared_ptr<unsigned> open;
    std::function<std::string()> metrics;
    std::function<bool()> healthy;
    std::array<char, 1024> chunk{};
    std::string head;
    std::string answer;
};

MetricsEndpoint::MetricsEndpoint(asio::io_context& io, std::function<std::string()> metrics,
                                 std::function<bool()> healthy, std::chrono::milliseconds requestTime)
    : io_(io), acceptor_(io), metrics_(std::move(metrics)), healthy_(std::move(healthy)),
      requestTime_(requestTime), open_(std::make_shared<unsigned>(0)) {}

MetricsEndpoint::~MetricsEndpoint() {
    Close();
}

Status MetricsEndpoint::Listen(const Endpoint& at) {
    asio::error_code ec;
    const asio::ip::address address = asio::ip::make_address_v4(at.address, ec);
    if (!ec)
        ec = ListenOn(acceptor_, {address, at.port});
    if (ec) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        return Error(ErrorKind::kNetwork,
                     "cannot listen for metrics on " + at.address + ":" + std::to_string(at.port) + ": " +
                         ec.message(),
                     ec.value());
    }
    Accept();
    return Ok();
}

uint16_t MetricsEndpoint::Port() const {
    asio::error_code ec;
    const auto endpoint = acceptor_.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void MetricsEndpoint::Close() {
    asio::error_code ignored;
    acceptor_.close(ignored);
}

void MetricsEndpoint::Accept() {
    acceptor_.async_accept(io_, [this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open())
            return;
        if (!ec) {
            if (*open_ >= kMaxConnections) {
                asio::error_code ignored;
                socket.close(ignored);
            } else {
                std::make_shared<Exchange>(std::move(socket), *this)->Start(requestTime_);
            }
        }
        Accept();
    });
}

} // namespace publisher
