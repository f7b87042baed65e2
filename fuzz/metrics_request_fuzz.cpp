// Request heads from whoever reaches the monitoring port: no crash, one whole HTTP/1.1 response each,
// its Content-Length true to its body, and the counters only for GET /metrics.
#include "publisher/ops/metrics_http.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view head(reinterpret_cast<const char*>(data), size);
    bool rendered = false;
    const std::string answer = publisher::AnswerMetricsRequest(
        head,
        [&] {
            rendered = true;
            return std::string("orvane_x 1\n");
        },
        [] { return true; });
    Require(answer.starts_with("HTTP/1.1 "));
    const size_t end = answer.find("\r\n\r\n");
    Require(end != std::string::npos);
    const std::string_view headers = std::string_view(answer).substr(0, end);
    const size_t length = headers.find("Content-Length: ");
    Require(length != std::string_view::npos);
    const size_t declared = std::strtoul(answer.c_str() + length + 16, nullptr, 10);
    const size_t body = answer.size() - end - 4;
    // HEAD answers carry the length of the body they leave out.
    Require(body == declared || body == 0);
    Require(!rendered || head.starts_with("GET ") || head.starts_with("HEAD "));
    return 0;
}
