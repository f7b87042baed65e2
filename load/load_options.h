// The command line of orvane-load: which service to load, with how many installs (or for how long), how
// many at a time, and how each install is checked. Parsing only reads the words given; the files that
// --expect and --public-key name are read later (load_run.h). Portable and stateless; any thread.
#pragma once

#include "core/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace load {

struct LoadOptions {
    std::string address; // the check service, IPv4 dotted
    uint16_t port = 0;
    std::string packageNo;
    uint32_t installs = 0;        // 0: installs are handed out until durationSeconds has passed
    uint32_t durationSeconds = 0; // 0: exactly `installs` installs
    uint32_t concurrency = 1;
    uint32_t rampSeconds = 0;    // the workers' first installs spread over this long
    std::string expectDir;       // a copy of the package folder every install is compared with
    std::string publicKey;       // the key text ("RWQ...") or a key file; empty: no signature check
    bool json = false;           // the summary as one JSON object on standard output
    uint32_t timeoutSeconds = 0; // the whole run, pre-flight included
};

constexpr uint32_t kMaxInstalls = 1000000;
constexpr uint32_t kMaxConcurrency = 256;
constexpr uint32_t kMaxSeconds = 86400;
constexpr uint32_t kDefaultTimeout = 3600;
// With --duration and no --timeout: the installs still running when handing out stops get this long.
constexpr uint32_t kDurationGrace = 600;

struct ParsedOptions {
    bool help = false;   // --help: nothing else counts
    LoadOptions options; // otherwise
};

// `args` without the program name. A bad line is a failure of kind kInvalid, its message one line.
Result<ParsedOptions> ParseLoadOptions(const std::vector<std::string>& args);

extern const char* const kUsage;

} // namespace load
