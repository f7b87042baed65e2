// Tests of the counters as a running service keeps them: what one install, a failed download, a reload
// and the check service's own probes leave in /metrics, /healthz and the log.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

using namespace publisher;
using namespace publisher::testing;
using namespace std::chrono_literals;

namespace {

// Scrapes until `name` reaches at least `value` or five seconds pass; the last scrape.
std::map<std::string, uint64_t> ScrapeMetricsUntil(uint16_t port, const std::string& name, uint64_t value) {
    auto samples = ScrapeMetrics(port);
    for (int i = 0; i < 100 && samples[name] < value; ++i) {
        std::this_thread::sleep_for(50ms);
        samples = ScrapeMetrics(port);
    }
    return samples;
}

uint64_t InstalledBytes(const std::filesystem::path& folder) {
    uint64_t bytes = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            bytes += e.file_size();
    return bytes;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

// Tests one install's counts (connections, authentications, checks, the download and its bytes, the
// package's files), that the check service's probes of its own download service are counted and leave
// no connection line in the log, that a reload is counted, and that promtool takes the live text.
TEST(MetricsProcessTest, CountsAnInstallProbesAndAReload) {
    ServedPackage served({"--metrics", "127.0.0.1:0", "--probe-seconds", "1"});
    ASSERT_TRUE(served.process->started());
    const uint16_t port = served.process->metricsPort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(HttpGet(port, "/healthz").substr(0, 15), "HTTP/1.1 200 OK");

    TempFolder folder;
    ASSERT_TRUE(Install(served.process->checkPort(), folder.path()));
    auto m = ScrapeMetricsUntil(port, "orvane_downloads_completed_total", 1);
    EXPECT_EQ(m["orvane_checks_total{kind=\"update\"}"], 1u);
    EXPECT_EQ(m["orvane_checks_total{kind=\"module\"}"], 1u);
    EXPECT_EQ(m["orvane_downloads_started_total"], 1u);
    EXPECT_EQ(m["orvane_downloads_completed_total"], 1u);
    EXPECT_EQ(m["orvane_downloads_failed_total"], 0u);
    EXPECT_EQ(m["orvane_sent_bytes_total{kind=\"file\"}"], InstalledBytes(folder.path()));
    EXPECT_GT(m["orvane_sent_bytes_total{kind=\"wire\"}"], 0u);
    EXPECT_EQ(m["orvane_authentications_total{result=\"accepted\"}"], 2u); // check and download
    EXPECT_EQ(m["orvane_authentications_total{result=\"refused\"}"], 0u);
    EXPECT_EQ(m["orvane_connections_total{service=\"check\"}"], 1u);
    EXPECT_EQ(m["orvane_connections_total{service=\"download\"}"], 1u);
    EXPECT_GT(m["orvane_package_files"], 0u);
    const std::string server =
        "orvane_download_server_up{server=\"127.0.0.1:" + std::to_string(served.process->downloadPorts()[0]) +
        "\"}";
    ASSERT_EQ(m.count(server), 1u);
    EXPECT_EQ(m[server], 1u);

    // Two more probe rounds: counted, and neither in the connection counts nor in the log.
    const uint64_t probes = m["orvane_probe_connections_total"];
    m = ScrapeMetricsUntil(port, "orvane_probe_connections_total", probes + 2);
    EXPECT_GE(m["orvane_probe_connections_total"], probes + 2);
    EXPECT_EQ(m["orvane_connections_total{service=\"download\"}"], 1u);
    const std::string log = served.Log();
    EXPECT_EQ(Occurrences(log, " connected\n"), 2u) << log;
    EXPECT_EQ(Occurrences(log, "authenticated\n"), 2u) << log;

    kill(served.process->pid(), SIGHUP);
    m = ScrapeMetricsUntil(port, "orvane_reloads_total{result=\"done\"}", 1);
    EXPECT_EQ(m["orvane_reloads_total{result=\"done\"}"], 1u);
    EXPECT_EQ(m["orvane_reloads_total{result=\"refused\"}"], 0u);

    const std::string text = HttpBody(HttpGet(port, "/metrics"));
    TempFolder scratch;
    const auto file = scratch.path() / "metrics.txt";
    std::ofstream(file) << text;
    const std::string command = std::string(ORVANE_PROMTOOL) + " check metrics < " + file.string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << text;
}

// Tests that a download the service ends midway counts as failed, not completed, and that the health
// check answers 503 once no advertised download server answers the check service's probes.
TEST(MetricsProcessTest, CountsAFailedDownloadAndAnUnhealthyRotation) {
    {
        ServedPackage served({"--metrics", "127.0.0.1:0", "--test-drop-after", "1"});
        ASSERT_TRUE(served.process->started());
        TempFolder folder;
        EXPECT_FALSE(Install(served.process->checkPort(), folder.path()));
        auto m = ScrapeMetricsUntil(served.process->metricsPort(), "orvane_downloads_failed_total", 1);
        EXPECT_EQ(m["orvane_downloads_started_total"], 1u);
        EXPECT_EQ(m["orvane_downloads_failed_total"], 1u);
        EXPECT_EQ(m["orvane_downloads_completed_total"], 0u);
    }
    // Nothing listens on port 1: two failed probes, a second apart, take the only server out.
    ServedPackage served({"--metrics", "127.0.0.1:0", "--advertise", "127.0.0.1:1", "--probe-seconds", "1"});
    ASSERT_TRUE(served.process->started());
    const uint16_t port = served.process->metricsPort();
    std::string health;
    for (int i = 0; i < 100 && health.substr(0, 12) != "HTTP/1.1 503"; ++i, std::this_thread::sleep_for(50ms))
        health = HttpGet(port, "/healthz");
    EXPECT_EQ(health.substr(0, 12), "HTTP/1.1 503") << health;
    EXPECT_EQ(ScrapeMetrics(port)["orvane_download_server_up{server=\"127.0.0.1:1\"}"], 0u);
}
