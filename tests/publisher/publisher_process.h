// Runs the real orvane-publisher executable for a test, on 127.0.0.1 with ports it picks itself, and
// stops it by its process id.
#pragma once

#include "tests/publisher/temp_package.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace publisher::testing {

class PublisherProcess {
  public:
    // Starts the publisher with `args` (after the executable name) and reads its standard output up to
    // "ready". started() is false when it exited first.
    // closedStderr: standard error is a pipe nobody reads from any more; errFd (when not -1): standard
    // error goes to this descriptor.
    explicit PublisherProcess(const std::vector<std::string>& args, bool closedStderr = false,
                              int errFd = -1);
    ~PublisherProcess();
    PublisherProcess(const PublisherProcess&) = delete;
    PublisherProcess& operator=(const PublisherProcess&) = delete;

    bool started() const { return ready_; }
    uint16_t checkPort() const { return checkPort_; }
    const std::vector<uint16_t>& downloadPorts() const { return downloadPorts_; }
    uint16_t metricsPort() const { return metricsPort_; }
    pid_t pid() const { return pid_; }
    // Sends SIGTERM and waits; returns the exit status (-1 when it did not exit normally, -2 when it
    // had to be killed after two SIGTERMs and a minute).
    int Stop();
    // Sends SIGTERM and waits up to `limit`; -2 when it had not exited by then: killed, or with
    // `killAfter` false left running.
    int StopWithin(std::chrono::milliseconds limit, bool killAfter = true);

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    uint16_t checkPort_ = 0;
    std::vector<uint16_t> downloadPorts_;
    uint16_t metricsPort_ = 0;
};

// The standard package in a scratch folder, served on free ports with the event log in a second scratch
// folder; `extra` (test switches) is added to the command line.
struct ServedPackage {
    TempFolder package;
    TempFolder work;
    std::unique_ptr<PublisherProcess> process;

    explicit ServedPackage(const std::vector<std::string>& extra = {});
    // A package of the test's own, written by `write` into the package folder.
    ServedPackage(const std::function<void(const std::filesystem::path&)>& write,
                  const std::vector<std::string>& extra = {});
    // The event log once the publisher's writer has caught up with what it logged so far.
    std::string Log() const;
};

struct RunResult {
    int status = -1;
    std::string out; // standard output and standard error together
};
// Runs the publisher to its end (for command-line checks that exit at once).
RunResult RunPublisherToExit(const std::vector<std::string>& args);
// Runs the publisher to its end as another user (through setpriv, when this process is root).
RunResult RunPublisherToExitAs(uid_t user, const std::vector<std::string>& args);

// A whole text file ("" when missing).
std::string TextOf(const std::filesystem::path& path);
// Waits up to `limit` until the file at `path` holds `text`; the publisher's log is written behind.
bool WaitForFileText(const std::filesystem::path& path, const std::string& text,
                     std::chrono::milliseconds limit = std::chrono::seconds(60));

// A file's whole text (empty when missing), and whether it comes to hold `text` within five seconds.
std::string ReadText(const std::filesystem::path& path);
bool WaitForText(const std::filesystem::path& path, const std::string& text);

// The resident set size of a process in KiB, from /proc; "VmHWM:" gives its peak.
long ResidentKiB(pid_t pid, const char* key = "VmRSS:");

// The whole answer to `GET path` on 127.0.0.1:port ("" when the connection failed), and its body.
std::string HttpGet(uint16_t port, const std::string& path);
std::string HttpBody(const std::string& response);
// Every sample of a /metrics scrape by its name and labels: "orvane_checks_total{kind=\"update\"}" -> value.
std::map<std::string, uint64_t> ScrapeMetrics(uint16_t port);

} // namespace publisher::testing
