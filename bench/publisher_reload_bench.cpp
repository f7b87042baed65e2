// Figures, not a test: how long a new installer waits for the check service while a SIGHUP reload
// loads a signed package, whose every file the reload hashes.
//
//   publisher_reload_bench --publisher EXE [--mib 256] [--reloads 3] [--work DIR]
//
// Writes a package of MIB MiB in 4 MiB files (kept in DIR between runs), its manifest with the
// publisher's --write-manifest, signed with the sample key by minisign, and serves it with EXE (one
// serving thread, no preparation, so that only the reload competes with the accepting). Then, for each
// reload, a prober connects to the check port and authenticates, over and over, while SIGHUP reloads
// the package; a probe's delay is from its connect to the answer. Prints, per reload, its duration (the
// signal to its log line) and the longest and median delay of the probes begun during it, and the
// median of the probes outside any reload.
#include "tests/publisher/temp_package.h"
#include "tests/publisher/test_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using publisher::testing::TestClient;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

pid_t Spawn(const std::vector<std::string>& args, int out) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (out >= 0)
            ::dup2(out, STDOUT_FILENO);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool RunToExit(const std::vector<std::string>& args) {
    const pid_t pid = Spawn(args, -1);
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string FirstLineAfter(const fs::path& file, size_t skip) {
    std::ifstream in(file);
    std::string line;
    for (size_t i = 0; i <= skip && std::getline(in, line);)
        ++i;
    return line;
}

size_t Occurrences(const fs::path& file, const std::string& what) {
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return publisher::testing::Count(text, what);
}

void WritePackage(const fs::path& root, unsigned mib) {
    fs::create_directories(root);
    const std::string key =
        FirstLineAfter(fs::path(ORVANE_SOURCE_DIR) / "examples/sample-signing-key/sample-signing-key.pub", 1);
    std::ofstream(root / "package.json") << R"({"package": "000185", "version": {"part3": 12, "part4": 3},
  "users": [{"name": "tulip", "password": "tulip"}],
  "modules": [{"name": "server", "versionA": 1, "versionB": 0, "state": "U", "folder": "modules/server"}],
  "signing": {"publicKeys": [")" << key << "\"]}}\n";
    for (unsigned i = 0; i < mib / 4; ++i)
        publisher::testing::WriteFile(root, "modules/server/part" + std::to_string(i) + ".bin",
                                      publisher::testing::Pattern(size_t(4) << 20, i + 1));
}

struct Probe {
    Clock::time_point start;
    Clock::duration delay;
};

struct Stats {
    double longest = 0;
    double median = 0;
    size_t count = 0;
};

Stats Summarize(std::vector<double> ms) {
    Stats s;
    s.count = ms.size();
    if (ms.empty())
        return s;
    std::sort(ms.begin(), ms.end());
    s.longest = ms.back();
    s.median = ms[ms.size() / 2];
    return s;
}

} // namespace

int main(int argc, char** argv) {
    std::string exe;
    unsigned mib = 256;
    unsigned reloads = 3;
    fs::path work = fs::temp_directory_path() / "orvane-reload-bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--publisher")
            exe = argv[i + 1];
        else if (a == "--mib")
            mib = unsigned(std::stoul(argv[i + 1]));
        else if (a == "--reloads")
            reloads = unsigned(std::stoul(argv[i + 1]));
        else if (a == "--work")
            work = argv[i + 1];
    }
    if (exe.empty() || mib < 4) {
        std::cerr << "usage: publisher_reload_bench --publisher EXE [--mib 256] [--reloads 3] [--work DIR]\n";
        return 64;
    }
    const fs::path package = work / ("package-" + std::to_string(mib));
    if (!fs::exists(package / "package.json")) {
        std::cerr << "writing the " << mib << " MiB package in " << package.string() << " ...\n";
        fs::remove_all(package);
        WritePackage(package, mib);
    }
    const fs::path manifest = package / "modules/server/orvane.manifest";
    if (!RunToExit({exe, "--write-manifest", "--package", package.string()}) ||
        (!fs::exists(manifest.string() + ".minisig") &&
         !RunToExit({"minisign", "-S", "-s",
                     (fs::path(ORVANE_SOURCE_DIR) / "examples/sample-signing-key/sample-signing-key.secret")
                         .string(),
                     "-m", manifest.string()}))) {
        std::cerr << "cannot write or sign the manifest\n";
        return 1;
    }

    const fs::path log = work / "events.log";
    fs::remove(log);
    int out[2];
    if (::pipe(out) != 0)
        return 1;
    const pid_t pid =
        Spawn({exe, "--package", package.string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0",
               "--log", log.string(), "--threads", "1", "--prepare-threads", "0"},
              out[1]);
    ::close(out[1]);
    FILE* lines = ::fdopen(out[0], "r");
    uint16_t port = 0;
    char line[256];
    while (lines && std::fgets(line, sizeof line, lines)) {
        unsigned a, b, c, d, p;
        if (std::sscanf(line, "check %u.%u.%u.%u:%u", &a, &b, &c, &d, &p) == 5)
            port = uint16_t(p);
        else if (std::strcmp(line, "ready\n") == 0)
            break;
    }
    if (port == 0) {
        std::cerr << "the publisher did not start\n";
        return 1;
    }

    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<Probe> probes;
    std::thread prober([&] {
        while (!stop) {
            const auto start = Clock::now();
            TestClient client;
            client.SetTimeout(std::chrono::seconds(60));
            if (client.Connect(port) && client.Authenticate()) {
                std::lock_guard lock(mutex);
                probes.push_back({start, Clock::now() - start});
            }
            client.Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (unsigned r = 0; r < reloads; ++r) {
        const size_t before = Occurrences(log, "SIGHUP: reloaded");
        const auto sent = Clock::now();
        ::kill(pid, SIGHUP);
        while (Occurrences(log, "SIGHUP: reloaded") == before)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        spans.emplace_back(sent, Clock::now());
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    stop = true;
    prober.join();
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (lines)
        std::fclose(lines);

    std::printf("%s: %u MiB signed package, %u reloads\n", exe.c_str(), mib, reloads);
    std::vector<double> outside;
    for (const Probe& p : probes)
        if (std::none_of(spans.begin(), spans.end(),
                         [&](const auto& s) { return p.start >= s.first && p.start <= s.second; }))
            outside.push_back(Ms(p.delay));
    for (size_t r = 0; r < spans.size(); ++r) {
        std::vector<double> during;
        for (const Probe& p : probes)
            if (p.start >= spans[r].first && p.start <= spans[r].second)
                during.push_back(Ms(p.delay));
        const Stats s = Summarize(during);
        std::printf("reload %zu: %.0f ms; %zu probes begun during it: longest %.1f ms, median %.2f ms\n",
                    r + 1, Ms(spans[r].second - spans[r].first), s.count, s.longest, s.median);
    }
    const Stats quiet = Summarize(outside);
    std::printf("outside reloads: %zu probes, longest %.1f ms, median %.2f ms\n", quiet.count, quiet.longest,
                quiet.median);
    return 0;
}
