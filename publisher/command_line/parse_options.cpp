#include "publisher/command_line/parse_options.h"

#include "publisher/command_line/option_parser.h"

namespace publisher {

std::string HelpText() {
    return "Usage: orvane-publisher --package DIR [options]\n"
           "Serves one package folder to installers: the check service and one or more download services.\n"
           "\n"
           "  --package DIR          package folder holding package.json and the module folders\n"
           "  --config FILE          read options from FILE, one \"name = value\" line each, named as the\n"
           "                         long options without their dashes (see CONFIG FILE below); the\n"
           "                         command line wins over the file\n"
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
           "  --proxy-protocol-from ADDR[/BITS],...\n"
           "                         TCP load balancers (IPv4 addresses or blocks) whose connections must\n"
           "                         start with a PROXY header, version 1 or 2: the client's address in\n"
           "                         it counts for --max-per-address, the log and the metrics; from\n"
           "                         them a connection without a valid header is closed, from any other\n"
           "                         address a header is never read (default: none)\n"
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
           "  --max-connections N    sets both of the above, where they are not given themselves\n"
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
           "Every option with a value takes it as --option VALUE or --option=VALUE; given twice, the\n"
           "later value counts, except for --download and --advertise, which add up.\n"
           "\n"
           "CONFIG FILE: every line is blank or name = value, and a # starts a comment anywhere; quote\n"
           "values with spaces or commas, give repeated options as a list, switches as true or false.\n"
           "Unknown names, names given twice and sections are errors. --config, --check-config, "
           "--write-manifest,\n"
           "--reload, --help and --version belong on the command line only. For example:\n"
           "    package = \"/srv/orvane/package\"\n"
           "    check = \"0.0.0.0:31711\"\n"
           "    download = [\"0.0.0.0:31712\"]\n"
           "    advertise = [\"203.0.113.10:31712\", \"203.0.113.11:31712,weight=2\"]\n"
           "    log = \"/var/log/orvane-publisher/events.log\"\n"
           "\n"
           "Port 0 picks a free port. Once listening, one line per service is printed on standard output\n"
           "(\"check ADDR:PORT\", \"download ADDR:PORT\"), then \"ready\".\n"
           "\n"
           "TEST SWITCHES (fault injection for testing installers; never use in production):\n"
           "  --test-refuse-auth CODE    answer every authentication with ErrorCode CODE\n"
           "  --test-refuse-login CODE   answer every login with ErrorCode CODE\n"
           "  --test-offer-nothing CODE  answer update checks with Available 0 and ErrorCode CODE\n"
           "  --test-drop-after N        close a download connection after N download messages\n"
           "  --test-close-after-login   close a connection once its login is answered\n"
           "  --test-drop-times N        the two switches above cut the first N connections only\n"
           "  --test-garbage             answer every request with bytes that are no packet\n"
           "  --test-hostile-reldir      start every download with a chunk whose RelDir is ..\\..\\\n"
           "  --test-time-scale N        let the idle and hold limits pass N times faster\n"
           "\n"
           "SIGHUP reopens the log file and reloads the package; SIGUSR1 only reopens the log file;\n"
           "SIGPIPE is ignored.\n"
           "\n"
           "Exit status: 0 after SIGINT or SIGTERM, 64 bad command line or config file, 65 bad package,\n"
           "69 a listener could not be opened, 73 the log file could not be opened.\n";
}

Result<ParsedOptions> ParseOptions(int argc, const char* const* argv) {
    Result<GivenOptions> read = ReadCommandLine(argc, argv);
    if (!read)
        return read.error();
    GivenOptions& given = *read;
    ParsedOptions& parsed = given.parsed;
    switch (parsed.action) {
    case ParsedOptions::Action::Help:
    case ParsedOptions::Action::Version:
    case ParsedOptions::Action::Reload:
        return parsed;
    case ParsedOptions::Action::Run:
    case ParsedOptions::Action::CheckConfig:
    case ParsedOptions::Action::WriteManifest:
        break;
    }
    Options& o = parsed.options;
    auto usage = [](std::string message) { return Error(ErrorKind::kInvalid, std::move(message)); };

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
    if (given.noCheck && given.check)
        return usage("--check and --no-check contradict each other");
    if (given.noCheck)
        o.check.reset();
    else if (given.check)
        o.check = given.check;
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
