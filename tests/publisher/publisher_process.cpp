#include "tests/publisher/publisher_process.h"

#include "core/unique_file.h"

#include <asio.hpp>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <array>
#include <fstream>
#include <sstream>
#include <thread>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace publisher::testing {
namespace {

// errFd -1: standard error is inherited. `prefix` is a command that runs the publisher (empty: none).
pid_t Spawn(const std::vector<std::string>& args, int outFd, int errFd,
            const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> all = prefix;
    all.push_back(ORVANE_PUBLISHER_EXE);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitStatus(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

PublisherProcess::PublisherProcess(const std::vector<std::string>& args, bool closedStderr, int errFd) {
    int fds[2];
    if (pipe(fds) != 0)
        return;
    // A pipe whose reading end is gone: every write to it raises SIGPIPE.
    int err[2] = {-1, -1};
    if (closedStderr && pipe(err) == 0)
        close(err[0]);
    pid_ = Spawn(args, fds[1], errFd >= 0 ? errFd : err[1]);
    close(fds[1]);
    if (err[1] >= 0)
        close(err[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return;
    }
    UniqueFile out(fdopen(fds[0], "r"));
    if (!out) {
        close(fds[0]);
        return; // never "ready": the destructor stops the process
    }
    char line[256];
    while (std::fgets(line, sizeof line, out.Get())) {
        unsigned a, b, c, d, port;
        if (std::sscanf(line, "check %u.%u.%u.%u:%u", &a, &b, &c, &d, &port) == 5)
            checkPort_ = uint16_t(port);
        else if (std::sscanf(line, "download %u.%u.%u.%u:%u", &a, &b, &c, &d, &port) == 5)
            downloadPorts_.push_back(uint16_t(port));
        else if (std::sscanf(line, "metrics %u.%u.%u.%u:%u", &a, &b, &c, &d, &port) == 5)
            metricsPort_ = uint16_t(port);
        else if (std::strcmp(line, "ready\n") == 0) {
            ready_ = true;
            break;
        }
    }
    // The publisher writes nothing more to standard output; closing our end (at the scope's end) is
    // harmless.
}

PublisherProcess::~PublisherProcess() {
    Stop();
}

int PublisherProcess::Stop() {
    if (pid_ < 0)
        return -1;
    // The thread sanitizer's runtime can lose a signal that reaches a thread while it holds signals
    // back (about one start in ten, SIGTERM right after "ready"): one more SIGTERM, then SIGKILL, so
    // that a test ends instead of waiting for ever. A plain build stops at the first.
    const int status = StopWithin(std::chrono::seconds(20), false);
    return status != -2 ? status : StopWithin(std::chrono::seconds(40));
}

int PublisherProcess::StopWithin(std::chrono::milliseconds limit, bool killAfter) {
    if (pid_ < 0)
        return -1;
    kill(pid_, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done != pid_ && !killAfter)
        return -2;
    if (done != pid_) {
        kill(pid_, SIGKILL);
        WaitStatus(pid_);
        pid_ = -1;
        return -2;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult RunPublisherToExit(const std::vector<std::string>& args) {
    return RunPublisherToExitAs(geteuid(), args);
}

RunResult RunPublisherToExitAs(uid_t user, const std::vector<std::string>& args) {
    RunResult result;
    int fds[2];
    if (pipe(fds) != 0)
        return result;
    std::vector<std::string> prefix;
    if (user != geteuid())
        prefix = {"setpriv", "--reuid=" + std::to_string(user), "--regid=" + std::to_string(user),
                  "--clear-groups"};
    pid_t pid = Spawn(args, fds[1], fds[1], prefix);
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        result.out.append(buf, size_t(n));
    close(fds[0]);
    if (pid >= 0)
        result.status = WaitStatus(pid);
    return result;
}

std::string TextOf(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WaitForFileText(const std::filesystem::path& path, const std::string& text,
                     std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (TextOf(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

long ResidentKiB(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 20, '\n');
    }
    return -1;
}

ServedPackage::ServedPackage(const std::vector<std::string>& extra)
    : ServedPackage(WriteStandardPackage, extra) {}

ServedPackage::ServedPackage(const std::function<void(const std::filesystem::path&)>& write,
                             const std::vector<std::string>& extra) {
    write(package.path());
    std::vector<std::string> args{
        "--package",  package.path().string(), "--check", "127.0.0.1:0",
        "--download", "127.0.0.1:0",           "--log",   (work.path() / "events.log").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    process = std::make_unique<PublisherProcess>(args);
}

std::string ServedPackage::Log() const {
    auto read = [&] {
        std::ifstream in(work.path() / "events.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // The publisher's log writer runs behind the events it logs: wait until it has caught up, that is
    // wait until it has written nothing new for 100 ms (a loaded machine delays the writer).
    std::string text = read();
    for (int i = 0, same = 0; i < 250 && same < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string again = read();
        same = again == text ? same + 1 : 0;
        text = std::move(again);
    }
    return text;
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The publisher logs from its own process: look until the line is there.
bool WaitForText(const std::filesystem::path& path, const std::string& text) {
    for (int i = 0; i < 500; ++i) {
        if (ReadText(path).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string HttpGet(uint16_t port, const std::string& path) {
    asio::io_context io;
    asio::ip::tcp::socket s(io);
    asio::error_code ec;
    s.connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec)
        return "";
    asio::write(s, asio::buffer("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"), ec);
    std::string got;
    std::array<char, 4096> buf;
    while (!ec)
        got.append(buf.data(), s.read_some(asio::buffer(buf), ec));
    return got;
}

std::string HttpBody(const std::string& response) {
    const size_t at = response.find("\r\n\r\n");
    return at == std::string::npos ? "" : response.substr(at + 4);
}

std::map<std::string, uint64_t> ScrapeMetrics(uint16_t port) {
    std::map<std::string, uint64_t> samples;
    std::istringstream in(HttpBody(HttpGet(port, "/metrics")));
    for (std::string line; std::getline(in, line);) {
        const size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos)
            continue;
        samples[line.substr(0, space)] = std::stoull(line.substr(space + 1));
    }
    return samples;
}

} // namespace publisher::testing
