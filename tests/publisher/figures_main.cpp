// publisher_figures: the three figures of the publisher on a public address, measured against the
// built executable on loopback. Figures only: it never fails on a number. Run by
// scripts/publisher-figures.sh.
//   1. peak resident memory with 1,000 idle authenticated connections;
//   2. the install time of an honest installer during a 200-socket slowloris (five installs);
//   3. log bytes per minute under a reconnect flood.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace publisher::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool IdleConnections() {
    ServedPackage served({"--max-per-address", "2000"});
    if (!served.process->started())
        return false;
    const long before = ResidentKiB(served.process->pid());
    auto modules = ListModules(served.process->checkPort());
    std::vector<int> handles;
    for (int i = 0; i < 500; ++i) {
        TestClient check, download;
        if (!CheckThrough(check, served.process->checkPort(), true) ||
            !download.Connect(served.process->downloadPorts()[0]) || download.Authenticate() != 0u)
            return false;
        download.Download({Named(modules, "client")}, served.work.path() / "dl");
        handles.push_back(check.ReleaseHandle());
        handles.push_back(download.ReleaseHandle());
    }
    std::this_thread::sleep_for(500ms);
    std::printf(
        "idle connections: %zu authenticated (500 check after their module list, 500 download after a "
        "download): %ld KiB resident (%ld KiB before), peak %ld KiB\n",
        handles.size(), ResidentKiB(served.process->pid()), before,
        ResidentKiB(served.process->pid(), "VmHWM:"));
    for (int h : handles)
        ::close(h);
    return true;
}

bool Slowloris200() {
    // One loopback address for all: the attacker shares the installers' address, so the per-address
    // limit is lifted and the authentication deadline does the work.
    ServedPackage served({"--max-per-address", "1000", "--auth-seconds", "1"});
    if (!served.process->started())
        return false;
    Slowloris attacker({served.process->checkPort(), served.process->downloadPorts()[0]}, 200);
    std::this_thread::sleep_for(1s);
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        auto started = std::chrono::steady_clock::now();
        bool ok = Install(served.process->checkPort(), served.work.path() / ("honest" + std::to_string(i)));
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!ok)
            std::printf("slowloris: install %d failed after %.3f s\n", i, s);
        times.push_back(ok ? s : 1e9);
    }
    std::sort(times.begin(), times.end());
    std::printf("slowloris: 200 sockets (%zu connections made), honest install of the standard package "
                "(3 MiB): median %.3f s, slowest %.3f s of 5\n",
                attacker.connected(), times[2], times[4]);
    return true;
}

bool Flood() {
    ServedPackage served;
    if (!served.process->started())
        return false;
    const fs::path log = served.work.path() / "events.log";
    const auto before = fs::file_size(log);
    const auto started = std::chrono::steady_clock::now();
    const size_t rounds =
        ReconnectFlood(served.process->checkPort(), served.process->downloadPorts()[0], 4, 20s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::this_thread::sleep_for(1500ms);
    const double bytes = double(fs::file_size(log) - before);
    std::printf(
        "reconnect flood: %zu connections in %.1f s (4 clients: connect, authenticate, garbage, close): "
        "%.0f log bytes per minute\n",
        rounds, seconds, bytes / seconds * 60);
    return true;
}

} // namespace

int main() {
    const bool ok = IdleConnections() && Slowloris200() && Flood();
    if (!ok)
        std::printf("a publisher could not be started or driven\n");
    return ok ? 0 : 1;
}
