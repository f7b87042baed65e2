#include "publisher/ops/metrics.h"

#include <string_view>

namespace publisher {
namespace {

class Writer {
  public:
    // One family: its HELP and TYPE lines, then its samples.
    void Family(std::string_view name, std::string_view type, std::string_view help) {
        out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    void Sample(std::string_view name, uint64_t value, std::string_view labels = {}) {
        out_.append(name);
        if (!labels.empty())
            out_.append("{").append(labels).append("}");
        out_.append(" ").append(std::to_string(value)).append("\n");
    }
    void One(std::string_view name, std::string_view type, std::string_view help, uint64_t value) {
        Family(name, type, help);
        Sample(name, value);
    }
    std::string Take() { return std::move(out_); }

  private:
    std::string out_;
};

uint64_t Read(const Metrics::Counter& c) {
    return c.load(std::memory_order_relaxed);
}

// A label value in the exposition format: backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        if (c == '\n')
            out.append("\\n");
        else
            out.push_back(c);
    }
    return out;
}

} // namespace

void Metrics::SetServerUp(const std::string& server, bool up) {
    std::lock_guard lock(serversMutex_);
    servers_[server] = up;
}

std::string Metrics::Render() const {
    Writer w;
    static constexpr const char* kServiceLabel[kServices] = {"service=\"check\"", "service=\"download\""};
    w.Family("orvane_connections_open", "gauge", "Connections open now.");
    for (int s = 0; s < kServices; ++s)
        w.Sample("orvane_connections_open", Read(connectionsOpen[s]), kServiceLabel[s]);
    w.Family("orvane_connections_total", "counter",
             "Connections accepted, not counting this process's own probes.");
    for (int s = 0; s < kServices; ++s)
        w.Sample("orvane_connections_total", Read(connectionsTotal[s]), kServiceLabel[s]);
    w.Family("orvane_connections_refused_total", "counter",
             "Connections closed at once: a connection limit was reached.");
    for (int s = 0; s < kServices; ++s)
        w.Sample("orvane_connections_refused_total", Read(connectionsRefused[s]), kServiceLabel[s]);
    w.Family("orvane_authentications_total", "counter", "Link authentications answered.");
    w.Sample("orvane_authentications_total", Read(authenticationsAccepted), "result=\"accepted\"");
    w.Sample("orvane_authentications_total", Read(authenticationsRefused), "result=\"refused\"");
    w.Family("orvane_checks_total", "counter", "Update and module checks answered.");
    w.Sample("orvane_checks_total", Read(updateChecks), "kind=\"update\"");
    w.Sample("orvane_checks_total", Read(moduleChecks), "kind=\"module\"");
    w.One("orvane_downloads_started_total", "counter", "Download requests taken.", Read(downloadsStarted));
    w.One("orvane_downloads_completed_total", "counter", "Downloads whose every module was sent.",
          Read(downloadsCompleted));
    w.One("orvane_downloads_failed_total", "counter", "Downloads ended by an error or a lost connection.",
          Read(downloadsFailed));
    w.Family("orvane_sent_bytes_total", "counter",
             "Bytes sent: module file content, and packets on the wire.");
    w.Sample("orvane_sent_bytes_total", Read(fileBytesSent), "kind=\"file\"");
    w.Sample("orvane_sent_bytes_total", Read(wireBytesSent), "kind=\"wire\"");
    w.One("orvane_prepared_files", "gauge", "Files of the package served now whose messages are prepared.",
          Read(preparedFiles));
    w.One("orvane_package_files", "gauge", "Files of the package served now.", Read(packageFiles));
    w.Family("orvane_reloads_total", "counter", "Package reloads.");
    w.Sample("orvane_reloads_total", Read(reloadsDone), "result=\"done\"");
    w.Sample("orvane_reloads_total", Read(reloadsRefused), "result=\"refused\"");
    w.One("orvane_log_lines_suppressed_total", "counter",
          "Log lines over the rate limit, counted not written.", Read(logLinesSuppressed));
    w.One("orvane_probe_connections_total", "counter", "Probe connections to advertised download servers.",
          Read(probeConnections));
    w.One("orvane_proxy_header_rejected_total", "counter",
          "Connections from a --proxy-protocol-from balancer closed without a valid PROXY header.",
          Read(proxyHeadersRejected));
    w.Family("orvane_download_server_up", "gauge",
             "1 while an advertised download server answers its probes.");
    {
        std::lock_guard lock(serversMutex_);
        for (const auto& [server, up] : servers_)
            w.Sample("orvane_download_server_up", up ? 1 : 0, "server=\"" + LabelValue(server) + "\"");
    }
    return w.Take();
}

} // namespace publisher
