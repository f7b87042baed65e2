#include "publisher/run.h"

#include "publisher/cache_folder.h"
#include "publisher/event_log.h"
#include "publisher/options.h"
#include "publisher/package.h"
#include "publisher/preparation.h"
#include "publisher/server.h"
#include "publisher/signed_package.h"

#include <asio.hpp>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <sys/resource.h>

namespace publisher {
namespace {

// sysexits.h values, as service managers and scripts expect them.
constexpr int kExitUsage = 64;
constexpr int kExitDataErr = 65;
constexpr int kExitUnavailable = 69;
constexpr int kExitCantCreate = 73;

std::string Summary(const Package& package) {
    return "package " + package.packageNo + " version " + std::to_string(package.verPart3) + "." +
           std::to_string(package.verPart4) + ": " + std::to_string(package.modules.size()) + " modules, " +
           std::to_string(package.bytes) + " bytes";
}

std::filesystem::path CacheDirOf(const Options& options) {
    return options.cacheDir.empty() ? DefaultCacheDir(options.packageDir)
                                    : std::filesystem::path(options.cacheDir);
}

// What --check-config prints: every module with its files and bytes, in the manifest's spelling, and
// how many files have prepared messages waiting in the cache folder.
int CheckConfig(const PackageLoad& load, const std::filesystem::path& cacheDir) {
    if (!load.package) {
        std::cerr << "orvane-publisher: package refused: " << load.error << "\n";
        return kExitDataErr;
    }
    const Package& p = *load.package;
    size_t files = 0;
    for (const auto& m : p.modules) {
        std::cout << "module " << m.label << " " << m.record.ModuleVerA << "_" << m.record.ModuleVerB
                  << " state " << m.record.State << ": " << m.files.size() << " files, " << m.bytes
                  << " bytes\n";
        files += m.files.size();
    }
    std::cout << "package " << p.packageNo << " version " << p.verPart3 << "." << p.verPart4 << ": "
              << p.modules.size() << " modules, " << files << " files, " << p.bytes << " bytes\n";
    const PreparedOnDisk disk = InspectCacheFolder(p, cacheDir);
    std::cout << "cache folder " << cacheDir.string() << ": " << disk.prepared << " of " << disk.total
              << " files prepared; " << disk.bytes << " bytes in " << disk.files << " cache files\n";
    return 0;
}

// A connection is a descriptor: allow as many as the system lets this process have.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The store of prepared messages for `package`; only a download service sends them, so none without one.
std::shared_ptr<PreparedFiles> PreparedStore(std::shared_ptr<const Package> package, const Options& options) {
    return options.downloads.empty() ? nullptr : std::make_shared<PreparedFiles>(std::move(package));
}

// Prepares the store's package in the background; its lines reach the log on the serving thread.
std::unique_ptr<Preparation> Prepare(const std::shared_ptr<PreparedFiles>& files, const Options& options,
                                     asio::io_context& io, EventLog& log) {
    if (!files)
        return nullptr;
    PreparationSettings settings;
    settings.cacheDir = CacheDirOf(options);
    settings.threads = options.prepareThreads.value_or(DefaultPreparationThreads());
    return std::make_unique<Preparation>(files, settings, [&io, &log](const std::string& line) {
        asio::post(io, [&log, line] { log.Write(line); });
    });
}

void WaitForSignals(asio::signal_set& signals, asio::io_context& io, Server& server, EventLog& log,
                    const Options& options, std::unique_ptr<Preparation>& preparation) {
    signals.async_wait([&](const asio::error_code& ec, int signal) {
        if (ec)
            return;
        if (signal != SIGHUP) {
            log.Write(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            server.Close();
            io.stop();
            return;
        }
        if (!log.Reopen())
            log.Write("SIGHUP: cannot reopen the log file " + options.logFile +
                      "; still writing the old one");
        PackageLoad load = LoadPackage(options.packageDir);
        if (load.package) {
            auto package = std::make_shared<const Package>(std::move(*load.package));
            // The old package's preparation stops within a message; its prepared files stay with the
            // connections that still serve it.
            preparation.reset();
            log.Write("SIGHUP: reloaded, now serving " + Summary(*package));
            auto prepared = PreparedStore(package, options);
            server.Replace(package, prepared);
            preparation = Prepare(prepared, options, io, log);
        } else {
            log.Write("SIGHUP: reload refused, still serving " + Summary(*server.Current()) + ": " +
                      load.error);
        }
        WaitForSignals(signals, io, server, log, options, preparation);
    });
}

} // namespace

int RunPublisher(int argc, const char* const* argv) {
    // A closed standard error or log pipe must cost a line, not the service.
    std::signal(SIGPIPE, SIG_IGN);
    ParsedOptions parsed = ParseOptions(argc, argv);
    switch (parsed.action) {
    case ParsedOptions::Action::Help:
        std::cout << HelpText();
        return 0;
    case ParsedOptions::Action::Version:
        std::cout << "orvane-publisher 1.0\n";
        return 0;
    case ParsedOptions::Action::Usage:
        std::cerr << "orvane-publisher: " << parsed.error << "\nTry 'orvane-publisher --help'.\n";
        return kExitUsage;
    case ParsedOptions::Action::WriteManifest:
        return WriteManifestCommand(parsed.options.packageDir);
    case ParsedOptions::Action::CheckConfig:
    case ParsedOptions::Action::Run:
        break;
    }
    const Options& options = parsed.options;
    if (LiesInside(CacheDirOf(options), options.packageDir)) {
        std::cerr << "orvane-publisher: the cache folder " << CacheDirOf(options).string()
                  << " lies inside the package folder; give --cache-dir outside it\n";
        return kExitUsage;
    }
    if (parsed.action == ParsedOptions::Action::CheckConfig)
        return CheckConfig(LoadPackage(options.packageDir), CacheDirOf(options));

    EventLog log;
    if (!options.logFile.empty() && !log.OpenFile(options.logFile)) {
        std::cerr << "orvane-publisher: cannot open log file " << options.logFile << "\n";
        return kExitCantCreate;
    }

    PackageLoad load = LoadPackage(options.packageDir);
    if (!load.package) {
        std::cerr << "orvane-publisher: refusing to start: " << load.error << "\n";
        // The log is standard error unless a file was given: the line appears once either way.
        if (log.ToFile())
            log.Write("refusing to start: " + load.error);
        return kExitDataErr;
    }
    RaiseDescriptorLimit();

    asio::io_context io(1);
    auto package = std::make_shared<const Package>(std::move(*load.package));
    auto prepared = PreparedStore(package, options);
    Server server(io, package, options, log, prepared);
    std::string error;
    if (!server.Listen(error)) {
        std::cerr << "orvane-publisher: " << error << "\n";
        if (log.ToFile())
            log.Write(error);
        return kExitUnavailable;
    }

    // Only once the service can run: a start that fails compresses nothing.
    std::unique_ptr<Preparation> preparation = Prepare(prepared, options, io, log);

    asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    WaitForSignals(signals, io, server, log, options, preparation);

    log.Write("serving " + Summary(*server.Current()) + " on " + std::to_string(server.ServingThreads()) +
              " serving threads");
    for (const std::string& line : server.Describe()) {
        log.Write("listening: " + line);
        std::cout << line << "\n";
    }
    std::cout << "ready" << std::endl;

    io.run();
    server.Close();
    log.Write("stopped");
    return 0;
}

} // namespace publisher
