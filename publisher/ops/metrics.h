// The service's counters, read by a monitoring system through the metrics endpoint (metrics_http.h).
// Every count is a relaxed atomic: the serving threads add to them without a lock, and a scrape reads
// each on its own (a scrape is a sample, not a snapshot). The download servers' probe states are the one
// part under a lock; it is never held while calling out.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace publisher {

struct Metrics {
    using Counter = std::atomic<uint64_t>;
    enum Service { kCheck, kDownload, kServices };

    std::array<Counter, kServices> connectionsOpen{};
    std::array<Counter, kServices> connectionsTotal{};
    std::array<Counter, kServices> connectionsRefused{}; // over a connection limit
    Counter authenticationsAccepted{0};
    Counter authenticationsRefused{0};
    Counter updateChecks{0};
    Counter moduleChecks{0};
    Counter downloadsStarted{0};
    Counter downloadsCompleted{0};
    Counter downloadsFailed{0};
    Counter fileBytesSent{0}; // module file content carried by download messages
    Counter wireBytesSent{0}; // bytes written to sockets, packets whole
    Counter preparedFiles{0}; // of the package served now; set before each rendering
    Counter packageFiles{0};
    Counter reloadsDone{0};
    Counter reloadsRefused{0};
    Counter logLinesSuppressed{0}; // set before each rendering
    Counter probeConnections{0};
    Counter proxyHeadersRejected{0}; // balancer connections closed without a valid PROXY header

    // The last probe's verdict on an advertised download server ("203.0.113.11:31712").
    void SetServerUp(const std::string& server, bool up);

    // The Prometheus text exposition format (version 0.0.4).
    std::string Render() const;

  private:
    mutable std::mutex serversMutex_;
    std::map<std::string, bool> servers_;
};

} // namespace publisher
