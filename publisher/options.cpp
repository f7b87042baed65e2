#include "publisher/options.h"

#include "publisher/cache_folder.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <thread>

namespace publisher {
namespace {

template <typename T> std::optional<T> ParseNumber(std::string_view text, T min, T max) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

bool IsDottedIPv4(std::string_view text) {
    if (text.size() > 15)
        return false;
    int parts = 0;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        std::string_view part = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
        if (part.empty() || part.size() > 3 || !ParseNumber<unsigned>(part, 0, 255))
            return false;
        ++parts;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return parts == 4;
}

} // namespace

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    std::string address = text.substr(0, colon);
    auto port = ParseNumber<uint16_t>(std::string_view(text).substr(colon + 1), 0, 65535);
    if (!IsDottedIPv4(address) || !port)
        return std::nullopt;
    return Endpoint{address, *port};
}

std::optional<AdvertisedServer> ParseAdvertised(const std::string& text) {
    constexpr std::string_view kWeight = ",weight=";
    const size_t comma = text.find(',');
    auto endpoint = ParseEndpoint(text.substr(0, comma));
    if (!endpoint || endpoint->port == 0)
        return std::nullopt;
    AdvertisedServer server{*endpoint, 1};
    if (comma == std::string::npos)
        return server;
    std::string_view rest = std::string_view(text).substr(comma);
    if (!rest.starts_with(kWeight))
        return std::nullopt;
    auto weight = ParseNumber<uint32_t>(rest.substr(kWeight.size()), 1, kMaxWeight);
    if (!weight)
        return std::nullopt;
    server.weight = *weight;
    return server;
}

unsigned ServingThreads(uint32_t threads) {
    if (threads != 0)
        return threads;
    return std::max(1u, std::thread::hardware_concurrency());
}

std::string HelpText() {
    return "Usage: orvane-publisher --package DIR [options]\n"
           "Serves one package folder to installers: the check service and one or more download services.\n"
           "\n"
           "  --package DIR          package folder holding package.json and the module folders\n"
           "  --check ADDR:PORT      check service listener (default 127.0.0.1:31711)\n"
           "  --no-check             run download services only\n"
           "  --download ADDR:PORT   download service listener; may be repeated\n"
           "  --advertise ADDR:PORT[,weight=N]\n"
           "                         download server handed out by update checks, in turn, N times as\n"
           "                         often as one without a weight (N from 1 to 100); may be repeated\n"
           "                         (default: the --download listeners)\n"
           "  --probe-seconds N      the check service connects to each download server and\n"
           "                         authenticates every N seconds; one that failed twice in a row is\n"
           "                         not handed out until it answers again; when none answers, all are\n"
           "                         handed out in turn (default 5; 0: no probing)\n"
           "  --metrics ADDR:PORT    serve counters at http://ADDR:PORT/metrics (Prometheus text format)\n"
           "                         and /healthz (200 while serving, 503 otherwise); default: none\n"
           "  --threads N            serving threads, each with its own connections (default: one per\n"
           "                         core)\n"
           "  --log FILE             append the event log to FILE (default: standard error)\n"
           "  --heartbeat SECONDS    heartbeat interval told to installers (default 30)\n"
           "  --idle-minutes N       close connections without a whole valid request for N minutes\n"
           "                         (default 30)\n"
           "  --auth-seconds N       close connections not authenticated within N seconds (default 10)\n"
           "  --hold-hours N         keep a check connection that was sent its module list open for at\n"
           "                         least N hours, and as long as a download from its address runs\n"
           "                         (default 24)\n"
           "  --max-per-address N    refuse connections beyond N at once from one address, both services\n"
           "                         together (default 64)\n"
           "  --max-check-connections N     refuse check connections beyond N at once (default 1024)\n"
           "  --max-download-connections N  refuse download connections beyond N at once (default 1024)\n"
           "  --max-connections N    sets both of the above\n"
           "  --module-batch N       module records per module-check message (default: as many as fit)\n"
           "  --cache-mib N          keep up to N MiB of compressed download messages, so that later\n"
           "                         downloads of an unchanged file skip reading and compressing it\n"
           "                         (default 256; 0 keeps none)\n"
           "  --cache-dir DIR        folder for the prepared download messages of the package (default:\n"
           "                         beside the package folder, PACKAGE.cache); never inside the package\n"
           "  --cache-max-mib N      let the cache folder hold at most N MiB of prepared messages (default:\n"
           "                         the package's size plus a quarter); the folder also leaves a\n"
           "                         twentieth of its file system free. Files beyond either are prepared\n"
           "                         in memory only\n"
           "  --prepare-threads N    threads preparing the package's download messages in the background\n"
           "                         (default: every core but one; 0 prepares nothing)\n"
           "  --prepared-mib N       hold up to N MiB of prepared messages in memory; the rest are read\n"
           "                         from their cache files when sent (default 1024; 0 reads them all)\n"
           "  --check-config         check what a start checks (the command line, the package and that\n"
           "                         this user can read every file of it, the listeners, the log file and\n"
           "                         the cache folder), print what would be served, which files have\n"
           "                         prepared messages in the cache folder and every test switch that is\n"
           "                         on, and exit with the status a start would fail with (0 when none)\n"
           "                         without listening or preparing anything; a port in use is reported,\n"
           "                         not failed, as the running service holds it\n"
           "  --reload PID           as systemd's ExecReload: send SIGHUP to PID and wait for the reload's\n"
           "                         outcome (0 the new package is served, 1 it was refused)\n"
           "  --write-manifest       write orvane.manifest (every served file's path, size and SHA-256)\n"
           "                         into the first module folder with files, and exit; sign it with\n"
           "                         minisign -Sm FILE. With \"signing\" keys in package.json, the\n"
           "                         package is served only while that signature and every file match\n"
           "  --help                 show this text\n"
           "  --version              show the version\n"
           "\n"
           "Port 0 picks a free port. Once listening, one line per service is printed on standard output\n"
           "(\"check ADDR:PORT\", \"download ADDR:PORT\"), then \"ready\".\n"
           "\n"
           "TEST SWITCHES (fault injection for testing installers; never use in production):\n"
           "  --test-refuse-auth CODE    answer every authentication with ErrorCode CODE\n"
           "  --test-refuse-login CODE   answer every login with ErrorCode CODE\n"
           "  --test-offer-nothing CODE  answer update checks with Available 0 and ErrorCode CODE\n"
           "  --test-drop-after N        close a download connection after N download messages\n"
           "  --test-garbage             answer every request with bytes that are no packet\n"
           "  --test-hostile-reldir      start every download with a chunk whose RelDir is ..\\..\\\n"
           "  --test-time-scale N        let the idle and hold limits pass N times faster\n"
           "\n"
           "SIGHUP reopens the log file and reloads the package; SIGUSR1 only reopens the log file;\n"
           "SIGPIPE is ignored.\n"
           "\n"
           "Exit status: 0 after SIGINT or SIGTERM, 64 bad command line, 65 bad package,\n"
           "69 a listener could not be opened, 73 the log file could not be opened.\n";
}

ParsedOptions ParseOptions(int argc, const char* const* argv) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    bool noCheck = false;
    std::optional<Endpoint> check;
    auto usage = [&](std::string message) {
        parsed.action = ParsedOptions::Action::Usage;
        parsed.error = std::move(message);
        return parsed;
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            parsed.action = ParsedOptions::Action::Help;
            return parsed;
        }
        if (arg == "--version") {
            parsed.action = ParsedOptions::Action::Version;
            return parsed;
        }
        if (arg == "--reload") {
            auto pid = i + 1 < argc ? ParseNumber<uint32_t>(argv[i + 1], 2, 4194304) : std::nullopt;
            if (!pid || i + 2 != argc)
                return usage("--reload takes the service's process ID and nothing else");
            parsed.action = ParsedOptions::Action::Reload;
            parsed.reloadPid = int(*pid);
            return parsed;
        }
        if (arg == "--check-config") {
            parsed.action = ParsedOptions::Action::CheckConfig;
            continue;
        }
        if (arg == "--write-manifest") {
            parsed.action = ParsedOptions::Action::WriteManifest;
            continue;
        }
        if (arg == "--no-check") {
            noCheck = true;
            continue;
        }
        if (arg == "--test-garbage") {
            o.test.garbage = true;
            continue;
        }
        if (arg == "--test-hostile-reldir") {
            o.test.hostileRelDir = true;
            continue;
        }
        // Every other option takes a value.
        static const char* const kValued[] = {"--package",
                                              "--check",
                                              "--download",
                                              "--advertise",
                                              "--log",
                                              "--heartbeat",
                                              "--idle-minutes",
                                              "--module-batch",
                                              "--max-connections",
                                              "--max-check-connections",
                                              "--max-download-connections",
                                              "--max-per-address",
                                              "--auth-seconds",
                                              "--hold-hours",
                                              "--test-time-scale",
                                              "--cache-mib",
                                              "--threads",
                                              "--probe-seconds",
                                              "--cache-dir",
                                              "--prepare-threads",
                                              "--prepared-mib",
                                              "--cache-max-mib",
                                              "--metrics",
                                              "--test-refuse-auth",
                                              "--test-refuse-login",
                                              "--test-offer-nothing",
                                              "--test-drop-after"};
        bool valued = false;
        for (const char* v : kValued)
            valued = valued || arg == v;
        if (!valued)
            return usage("unknown option " + arg);
        if (i + 1 >= argc)
            return usage(arg + " needs a value");
        std::string value = argv[++i];

        if (arg == "--package") {
            o.packageDir = value;
        } else if (arg == "--advertise") {
            auto server = ParseAdvertised(value);
            if (!server)
                return usage("--advertise " + value +
                             ": expected a dotted IPv4 address, a port from 1 to 65535 and optionally a "
                             "weight from 1 to " +
                             std::to_string(kMaxWeight) + ", e.g. 203.0.113.10:31712,weight=3");
            o.advertise.push_back(*server);
        } else if (arg == "--threads") {
            auto n = ParseNumber<uint32_t>(value, 1, 1024);
            if (!n)
                return usage("--threads " + value + ": expected 1 to 1024");
            o.threads = *n;
        } else if (arg == "--probe-seconds") {
            auto n = ParseNumber<uint32_t>(value, 0, 3600);
            if (!n)
                return usage("--probe-seconds " + value + ": expected 0 to 3600");
            o.probeSeconds = *n;
        } else if (arg == "--check" || arg == "--download" || arg == "--metrics") {
            auto endpoint = ParseEndpoint(value);
            if (!endpoint)
                return usage(arg + " " + value +
                             ": expected a dotted IPv4 address and a port, e.g. 127.0.0.1:31711");
            if (arg == "--check")
                check = endpoint;
            else if (arg == "--metrics")
                o.metrics = endpoint;
            else
                o.downloads.push_back(*endpoint);
        } else if (arg == "--log") {
            o.logFile = value;
        } else if (arg == "--heartbeat") {
            auto n = ParseNumber<int32_t>(value, 0, 86400);
            if (!n)
                return usage("--heartbeat " + value + ": expected 0 to 86400 seconds");
            o.heartbeatSeconds = *n;
        } else if (arg == "--idle-minutes") {
            auto n = ParseNumber<uint32_t>(value, 1, 10080);
            if (!n)
                return usage("--idle-minutes " + value + ": expected 1 to 10080");
            o.idleMinutes = *n;
        } else if (arg == "--module-batch") {
            auto n = ParseNumber<uint32_t>(value, 1, 65535);
            if (!n)
                return usage("--module-batch " + value + ": expected 1 to 65535");
            o.moduleBatch = *n;
        } else if (arg.starts_with("--max-")) {
            auto n = ParseNumber<uint32_t>(value, 1, 1000000);
            if (!n)
                return usage(arg + " " + value + ": expected 1 to 1000000");
            if (arg == "--max-per-address")
                o.maxPerAddress = *n;
            if (arg == "--max-connections" || arg == "--max-check-connections")
                o.maxCheckConnections = *n;
            if (arg == "--max-connections" || arg == "--max-download-connections")
                o.maxDownloadConnections = *n;
        } else if (arg == "--auth-seconds") {
            auto n = ParseNumber<uint32_t>(value, 1, 3600);
            if (!n)
                return usage("--auth-seconds " + value + ": expected 1 to 3600");
            o.authSeconds = *n;
        } else if (arg == "--hold-hours") {
            auto n = ParseNumber<uint32_t>(value, 1, 8760);
            if (!n)
                return usage("--hold-hours " + value + ": expected 1 to 8760");
            o.holdHours = *n;
        } else if (arg == "--test-time-scale") {
            auto n = ParseNumber<uint32_t>(value, 1, 1000000);
            if (!n)
                return usage("--test-time-scale " + value + ": expected 1 to 1000000");
            o.test.timeScale = *n;
        } else if (arg == "--cache-mib") {
            auto n = ParseNumber<uint32_t>(value, 0, 1048576);
            if (!n)
                return usage("--cache-mib " + value + ": expected 0 to 1048576");
            o.cacheMib = *n;
        } else if (arg == "--cache-dir") {
            if (value.empty())
                return usage("--cache-dir needs a folder");
            o.cacheDir = value;
        } else if (arg == "--prepared-mib") {
            auto n = ParseNumber<uint32_t>(value, 0, 1048576);
            if (!n)
                return usage("--prepared-mib " + value + ": expected 0 to 1048576");
            o.preparedMib = *n;
        } else if (arg == "--cache-max-mib") {
            auto n = ParseNumber<uint32_t>(value, 0, 1048576);
            if (!n)
                return usage("--cache-max-mib " + value + ": expected 0 to 1048576");
            o.cacheMaxMib = *n;
        } else if (arg == "--prepare-threads") {
            auto n = ParseNumber<uint32_t>(value, 0, 1024);
            if (!n)
                return usage("--prepare-threads " + value + ": expected 0 to 1024");
            o.prepareThreads = *n;
        } else if (arg == "--test-drop-after") {
            auto n = ParseNumber<uint64_t>(value, 0, std::numeric_limits<uint64_t>::max());
            if (!n)
                return usage(arg + " " + value + ": expected a number of messages");
            o.test.dropAfter = *n;
        } else {
            auto code = ParseNumber<uint32_t>(value, 0, std::numeric_limits<uint32_t>::max());
            if (!code)
                return usage(arg + " " + value + ": expected an error code from 0 to 4294967295");
            if (arg == "--test-refuse-auth")
                o.test.refuseAuth = *code;
            else if (arg == "--test-refuse-login")
                o.test.refuseLogin = *code;
            else
                o.test.offerNothing = *code;
        }
    }

    if (o.packageDir.empty())
        return usage("--package DIR is required");
    // Files written into the package would be published with it, or found by a package scan.
    if (!o.cacheDir.empty() && LiesInside(o.cacheDir, o.packageDir))
        return usage("--cache-dir " + o.cacheDir + " lies inside the package folder " + o.packageDir +
                     "; give a folder outside it");
    // The log would be published with the package, and a package scan would find it.
    if (!o.logFile.empty() && LiesInside(o.logFile, o.packageDir))
        return usage("--log " + o.logFile + " lies inside the package folder " + o.packageDir +
                     "; give a file outside it");
    if (parsed.action == ParsedOptions::Action::WriteManifest)
        return parsed; // writes a file and exits: nothing listens
    // --check-config judges the same command line a start does.
    if (noCheck && check)
        return usage("--check and --no-check contradict each other");
    if (noCheck)
        o.check.reset();
    else if (check)
        o.check = check;
    if (!o.check && o.downloads.empty())
        return usage("nothing to serve: give --download or keep the check service");
    if (o.check && o.downloads.empty() && o.advertise.empty())
        return usage("the check service needs a download server: give --download or --advertise");
    if (o.advertise.empty())
        for (const Endpoint& d : o.downloads)
            if (d.address == "0.0.0.0")
                return usage("a download service on 0.0.0.0 needs --advertise with the address installers "
                             "reach it at");
    return parsed;
}

} // namespace publisher
