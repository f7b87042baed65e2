// The command line of orvane-publisher.
#pragma once

#include "core/result.h"

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace publisher {

// A whole decimal number from min to max: no sign, no spaces, nothing after it.
template <typename T> std::optional<T> ParseNumber(std::string_view text, T min, T max) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

struct Endpoint {
    std::string address; // dotted IPv4
    uint16_t port = 0;
};

// A download server the check service hands out, `weight` times as often as one of weight 1.
struct AdvertisedServer {
    Endpoint endpoint;
    uint32_t weight = 1;
};
constexpr uint32_t kMaxWeight = 100;

// An IPv4 block, "a.b.c.d/bits"; a single address is a block of 32 bits.
struct AddressBlock {
    uint32_t network = 0; // host order, no bits set below the prefix
    uint32_t bits = 32;
    bool Contains(uint32_t address) const {
        return bits == 0 || (address >> (32 - bits)) == (network >> (32 - bits));
    }
};

// Fault injection for driving the installer's failure paths; never for production.
struct TestSwitches {
    std::optional<uint32_t> refuseAuth;   // authentication answered with this ErrorCode
    std::optional<uint32_t> refuseLogin;  // login answered with this ErrorCode
    std::optional<uint32_t> offerNothing; // update check: Available 0 with this ErrorCode
    std::optional<uint64_t> dropAfter;    // download connection closed after this many messages
    bool closeAfterLogin = false;         // a connection closed once its login is answered
    std::optional<uint64_t> dropTimes;    // the two switches above cut only this many connections
    bool garbage = false;                 // every answer replaced by bytes that are no packet
    bool hostileRelDir = false;           // each download starts with a chunk whose RelDir climbs out
    uint32_t timeScale = 1;               // the idle and hold limits pass this many times faster
};

struct Options {
    std::string packageDir;
    std::optional<Endpoint> check = Endpoint{"127.0.0.1", 31711};
    std::vector<Endpoint> downloads;
    std::vector<AdvertisedServer> advertise; // handed out by update checks in turn; default: the download
                                             // listeners
    std::string logFile;                     // empty: standard error
    int32_t heartbeatSeconds = 30;
    uint32_t idleMinutes = 30; // without a whole valid request
    uint32_t authSeconds = 10; // to authenticate after connecting
    uint32_t holdHours = 24;   // a check connection that sent its module list, without a download
    uint32_t moduleBatch = 0;  // module records per module-check message; 0: as many as fit
    uint32_t maxCheckConnections = 1024;
    uint32_t maxDownloadConnections = 1024;
    uint32_t maxPerAddress = 64; // open connections of one client address, both services together
    uint32_t cacheMib = 256;     // memory for compressed download messages kept between downloads; 0: none
    uint32_t threads = 0;        // serving threads; 0: one per core
    uint32_t probeSeconds = 5;   // how often the check service probes the download servers; 0: never
    std::string cacheDir;        // prepared download messages; empty: beside the package folder
    std::optional<uint32_t> prepareThreads; // empty: every core but one; 0: nothing is prepared
    uint32_t preparedMib = 1024; // prepared messages held in memory; beyond, read from the cache files
    std::optional<uint32_t> cacheMaxMib; // the cache folder's limit; empty: the package's size plus a quarter
    std::optional<Endpoint> metrics;     // the /metrics and /healthz listener; empty: none
    std::vector<AddressBlock> proxyFrom; // balancers whose connections start with a PROXY header
    TestSwitches test;
};

struct ParsedOptions {
    enum class Action { Run, CheckConfig, WriteManifest, Help, Version, Reload } action = Action::Run;
    Options options;
    int reloadPid = 0; // for Reload
};

// "a.b.c.d:port" with a dotted IPv4 address; the port may be 0 (any free port).
std::optional<Endpoint> ParseEndpoint(const std::string& text);
// "a.b.c.d:port" or "a.b.c.d:port,weight=N" (N from 1 to kMaxWeight); the port may not be 0.
std::optional<AdvertisedServer> ParseAdvertised(const std::string& text);
// "ADDR[/BITS],..." with dotted IPv4 addresses, BITS from 0 to 32 and no address bits set below them;
// otherwise a failure saying what was wrong with which item.
Result<std::vector<AddressBlock>> ParseAddressBlocks(const std::string& text);
// Whether `folder` is `root` or lies below it, as far as the paths tell (neither needs to exist).
bool LiesInside(const std::filesystem::path& folder, const std::filesystem::path& root);
// The serving threads `threads` asks for: itself, or one per core when 0.
unsigned ServingThreads(uint32_t threads);

} // namespace publisher
