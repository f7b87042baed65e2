#include "load/load_options.h"

#include <arpa/inet.h>

#include <charconv>
#include <functional>
#include <map>
#include <set>

namespace load {

const char* const kUsage =
    "usage: orvane-load --service ADDR:PORT --package-no NO (--installs N | --duration SECONDS)\n"
    "                   [--concurrency C] [--ramp SECONDS] [--expect DIR] [--public-key KEY]\n"
    "                   [--json] [--timeout SECONDS]\n"
    "\n"
    "Runs installs of package NO against the check service at ADDR:PORT exactly as the installer\n"
    "does (check, download, retries), C at a time, and checks every download.\n"
    "\n"
    "  --service ADDR:PORT  the check service (IPv4 address)\n"
    "  --package-no NO      the package number the installers ask for\n"
    "  --installs N         run exactly N installs (1 to 1000000)\n"
    "  --duration SECONDS   start installs until SECONDS have passed (1 to 86400)\n"
    "  --concurrency C      installs at a time, one worker process each (1 to 256; default 1)\n"
    "  --ramp SECONDS       spread the workers' first installs over SECONDS (default 0)\n"
    "  --expect DIR         compare every download with the package folder DIR, byte for byte\n"
    "  --public-key KEY     check the package's signed manifest with this minisign key (RWQ...)\n"
    "                       or key file; without it a manifest's file hashes are still checked\n"
    "  --json               print the summary as one JSON object on standard output\n"
    "  --timeout SECONDS    stop the whole run after SECONDS (default 3600, or the duration\n"
    "                       plus 600)\n"
    "  --help               print this text\n"
    "\n"
    "Exit status: 0 every install completed and verified; 1 an install failed or the run was\n"
    "stopped; 2 bad command line; 3 nothing answers at ADDR:PORT; 4 the service refused the\n"
    "link or the login; 5 the package is not on offer; 6 the tool could not run.\n";

namespace {

std::optional<uint32_t> Number(const std::string& text, uint32_t low, uint32_t high) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || at != end || value < low || value > high)
        return std::nullopt;
    return value;
}

bool ParseService(const std::string& text, LoadOptions& o) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string address = text.substr(0, colon);
    in_addr parsed{};
    // The clients keep at most 15 characters of an address: the dotted form and nothing else.
    if (address.size() > 15 || inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        return false;
    const auto port = Number(text.substr(colon + 1), 1, 65535);
    if (!port)
        return false;
    o.address = address;
    o.port = uint16_t(*port);
    return true;
}

bool ParsePackageNo(const std::string& text, LoadOptions& o) {
    // The check request carries at most 9 characters.
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
            return false;
    o.packageNo = text;
    return true;
}

struct Switch {
    std::string expected; // what the value must be, for the error line
    std::function<bool(const std::string&, LoadOptions&)> take;
};

std::function<bool(const std::string&, LoadOptions&)> Into(uint32_t LoadOptions::*field, uint32_t low,
                                                           uint32_t high) {
    return [=](const std::string& text, LoadOptions& o) {
        const auto n = Number(text, low, high);
        if (n)
            o.*field = *n;
        return bool(n);
    };
}

const std::map<std::string, Switch>& Switches() {
    static const std::map<std::string, Switch> switches{
        {"--service", {"an IPv4 address and a port, e.g. 192.0.2.7:31711", ParseService}},
        {"--package-no", {"1 to 9 letters or digits", ParsePackageNo}},
        {"--installs", {"a number from 1 to 1000000", Into(&LoadOptions::installs, 1, kMaxInstalls)}},
        {"--duration", {"seconds from 1 to 86400", Into(&LoadOptions::durationSeconds, 1, kMaxSeconds)}},
        {"--concurrency", {"a number from 1 to 256", Into(&LoadOptions::concurrency, 1, kMaxConcurrency)}},
        {"--ramp", {"seconds from 0 to 86400", Into(&LoadOptions::rampSeconds, 0, kMaxSeconds)}},
        {"--timeout", {"seconds from 1 to 86400", Into(&LoadOptions::timeoutSeconds, 1, kMaxSeconds)}},
        {"--expect",
         {"a folder",
          [](const std::string& t, LoadOptions& o) { return !t.empty() && (o.expectDir = t, true); }}},
        {"--public-key",
         {"a key or key file",
          [](const std::string& t, LoadOptions& o) { return !t.empty() && (o.publicKey = t, true); }}},
    };
    return switches;
}

::Error Refused(std::string text) {
    return ::Error(ErrorKind::kInvalid, std::move(text));
}

} // namespace

Result<ParsedOptions> ParseLoadOptions(const std::vector<std::string>& args) {
    LoadOptions o;
    std::set<std::string> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" && !value) {
            ParsedOptions parsed;
            parsed.help = true;
            return parsed;
        }
        if (!seen.insert(name).second)
            return Refused(name + " is given twice");
        if (name == "--json") {
            if (value)
                return Refused("--json takes no value");
            o.json = true;
            continue;
        }
        const auto it = Switches().find(name);
        if (it == Switches().end())
            return Refused("unknown argument: " + name);
        if (!value) {
            if (i + 1 == args.size())
                return Refused(name + " needs a value: " + it->second.expected);
            value = args[++i];
        }
        if (!it->second.take(*value, o))
            return Refused(name + " " + *value + ": expected " + it->second.expected);
    }
    if (!seen.count("--service"))
        return Refused("--service ADDR:PORT is required");
    if (!seen.count("--package-no"))
        return Refused("--package-no NO is required");
    const bool byCount = seen.count("--installs") != 0, byTime = seen.count("--duration") != 0;
    if (byCount == byTime)
        return Refused("give either --installs or --duration");
    if (!seen.count("--timeout"))
        o.timeoutSeconds = std::max(kDefaultTimeout, o.durationSeconds + kDurationGrace);
    else if (o.durationSeconds >= o.timeoutSeconds)
        return Refused("--duration must be shorter than --timeout");
    if (o.rampSeconds >= o.timeoutSeconds)
        return Refused("--ramp must be shorter than --timeout");
    if (byTime && o.rampSeconds >= o.durationSeconds)
        return Refused("--ramp must be shorter than --duration");
    ParsedOptions parsed;
    parsed.options = std::move(o);
    return parsed;
}

} // namespace load
