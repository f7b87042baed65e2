// What the process tests and the figures program do to a running publisher: an installer's steps, a
// slowloris attacker and a reconnect flood, all from loopback.
#pragma once

#include "tests/publisher/test_client.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <thread>
#include <vector>

namespace publisher::testing {

// Whether the service closes the connection within `limit`, whatever it still sends first.
bool ClosedWithin(TestClient& c, std::chrono::milliseconds limit);
// The module list of the standard package's version (12.v4) from a fresh check connection.
std::vector<ModuleRecord> ListModules(uint16_t checkPort, uint32_t v4 = 3);
ModuleRecord Named(const std::vector<ModuleRecord>& modules, std::string_view name);
// A check connection through the login and, with moduleList, through the module list of 12.3, as the
// installer leaves it during its download.
bool CheckThrough(TestClient& c, uint16_t port, bool moduleList);
// The whole exchange of an installer into `folder`; false if any step fails. `downloadPort`, when
// given, receives the download server the update check handed out (0 when none).
bool Install(uint16_t checkPort, const std::filesystem::path& folder, uint16_t* downloadPort = nullptr);

// `count` sockets from 127.0.0.1, spread over the ports, each sending one byte every 200 ms and opened again
// whenever the service closes it.
class Slowloris {
  public:
    Slowloris(std::vector<uint16_t> ports, size_t count);
    ~Slowloris();
    Slowloris(const Slowloris&) = delete;
    Slowloris& operator=(const Slowloris&) = delete;
    size_t connected() const { return connected_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<size_t> connected_{0};
    std::thread thread_;
};

// `threads` clients connecting, authenticating, sending three bytes of garbage and closing, again and
// again, for `span`; returns the connections made.
size_t ReconnectFlood(uint16_t checkPort, uint16_t downloadPort, int threads, std::chrono::milliseconds span);

} // namespace publisher::testing
