#include "publisher/run.h"

#include "publisher/prepared/cache_folder.h"
#include "publisher/ops/event_log.h"
#include "publisher/package/installer_expectations.h"
#include "publisher/ops/metrics.h"
#include "publisher/ops/metrics_http.h"
#include "publisher/command_line/options.h"
#include "publisher/package/load_package.h"
#include "publisher/prepared/preparation.h"
#include "publisher/reload.h"
#include "publisher/ops/reload_request.h"
#include "publisher/serving/server.h"
#include "publisher/package/signed_package.h"
#include "publisher/start_checks.h"
#include "publisher/ops/systemd_notify.h"
#include "publisher/ops/version.h"
#include "publisher/exit_status.h"
#include "publisher/write_manifest.h"
#include "publisher/command_line/parse_options.h"

#include <asio.hpp>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <malloc.h>
#include <optional>
#include <sys/resource.h>

namespace publisher {
namespace {

std::string Summary(const Package& package) {
    return "package " + package.packageNo + " version " + std::to_string(package.verPart3) + "." +
           std::to_string(package.verPart4) + ": " + std::to_string(package.modules.size()) + " modules, " +
           std::to_string(package.bytes) + " bytes";
}

std::filesystem::path CacheDirOf(const Options& options) {
    return options.cacheDir.empty() ? DefaultCacheDir(options.packageDir)
                                    : std::filesystem::path(options.cacheDir);
}

// The package as a start would take it: refused when the manifest is, or when this user cannot read a
// file of it (every download of its module would fail).
Result<Package> UsablePackage(const std::string& folder, const std::atomic<bool>* stop = nullptr) {
    Result<Package> load = LoadPackage(folder, /*checkSignature=*/true, stop);
    if (!load)
        return load;
    const auto unreadable = UnreadableFiles(*load);
    if (!unreadable.empty())
        return Error(ErrorKind::kIo, std::to_string(unreadable.size()) +
                                         " package files cannot be read by this user, first " +
                                         unreadable.front());
    return load;
}

// Every failure that ends a run is told on standard error the same way, and its exit status made in one
// place (exit_status.h).
int Fail(RunStep step, const Error& error, const std::string& context = {}) {
    std::cerr << "orvane-publisher: " << context << error.message() << "\n";
    return ExitStatusFor(step, error);
}

// What --check-config prints: every module with its files and bytes, in the manifest's spelling, how
// many files have prepared messages waiting in the cache folder, the test switches and whatever a start
// would stop at, with a start's exit status.
int CheckConfig(const Options& options) {
    for (const std::string& line : TestSwitchWarnings(options.test))
        std::cout << line << "\n";
    if (!options.logFile.empty()) {
        if (Status log = CheckLogFile(options.logFile); !log)
            return Fail(RunStep::kLogFile, log.error(), "cannot open log file ");
    }
    const Result<Package> package = UsablePackage(options.packageDir);
    if (!package)
        return Fail(RunStep::kPackage, package.error(), "package refused: ");
    const Package& p = *package;
    for (const auto& m : p.modules)
        std::cout << "module " << m.label << " " << m.record.ModuleVerA << "_" << m.record.ModuleVerB
                  << " state " << m.record.State << ": " << m.files.size() << " files, " << m.bytes
                  << " bytes\n";
    std::cout << "package " << p.packageNo << " version " << p.verPart3 << "." << p.verPart4 << ": "
              << p.modules.size() << " modules, " << p.FileCount() << " files, " << p.bytes << " bytes\n";
    std::cout << "installers must be built with package number " << p.packageNo
              << " (string 102 of res/orvane.rc)\n";
    const std::filesystem::path cacheDir = CacheDirOf(options);
    if (Status cache = CheckCacheFolder(cacheDir); !cache) {
        std::cout << "warning: cannot use the cache folder " << cache.error().message()
                  << "; nothing would be prepared\n";
    } else {
        const PreparedOnDisk disk = InspectCacheFolder(p, cacheDir);
        std::cout << "cache folder " << cacheDir.string() << ": " << disk.prepared << " of " << disk.total
                  << " files prepared; " << disk.bytes << " bytes in " << disk.files << " cache files\n";
    }
    const InstallerFindings findings = CheckInstallerExpectations(p);
    for (const std::string& warning : findings.warnings)
        std::cout << "warning: " << warning << "\n";
    if (!findings.errors.empty()) {
        int status = kExitOk;
        for (const std::string& why : findings.errors)
            status = Fail(RunStep::kPackage, Error(ErrorKind::kInvalid, why), "package refused: ");
        return status;
    }
    std::vector<std::string> busy;
    if (Status listeners = CheckListeners(options, busy); !listeners)
        return Fail(RunStep::kListeners, listeners.error());
    for (const std::string& line : busy)
        std::cout << "listener " << line << "\n";
    std::cout << "configuration ok\n";
    return kExitOk;
}

// A connection is a descriptor: allow as many as the system lets this process have.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The store of prepared messages for `package`, sharing those of unchanged files with `previous`; only a
// download service sends them, so none without one.
std::shared_ptr<PreparedFiles> PreparedStore(std::shared_ptr<const Package> package, const Options& options,
                                             const PreparedFiles* previous = nullptr) {
    if (options.downloads.empty())
        return nullptr;
    return std::make_shared<PreparedFiles>(std::move(package), previous, uint64_t(options.preparedMib) << 20,
                                           CacheDirOf(options));
}

// Prepares the store's package in the background; its lines reach the log on the serving thread.
std::unique_ptr<Preparation> Prepare(const std::shared_ptr<PreparedFiles>& files, const Options& options,
                                     asio::io_context& io, EventLog& log) {
    if (!files)
        return nullptr;
    PreparationSettings settings;
    settings.cacheDir = CacheDirOf(options);
    settings.threads = options.prepareThreads.value_or(DefaultPreparationThreads());
    if (options.cacheMaxMib)
        settings.maxBytes = uint64_t(*options.cacheMaxMib) << 20;
    return std::make_unique<Preparation>(files, settings, [&io, &log](const std::string& line) {
        asio::post(io, [&log, line] { log.Write(line); });
    });
}

// Reopens the log file by its name (after logrotate moved it); says so in the old one when it cannot.
bool ReopenLog(EventLog& log, const Options& options, const char* signal) {
    if (log.Reopen())
        return true;
    log.Write(std::string(signal) + ": cannot reopen the log file " + options.logFile +
              "; still writing the old one");
    return false;
}

// The gauges a scrape reads from their owners, then every count.
std::string RenderMetrics(Metrics& metrics, const Server& server, const EventLog& log) {
    const auto relaxed = std::memory_order_relaxed;
    const auto prepared = server.Prepared();
    metrics.packageFiles.store(server.Current()->FileCount(), relaxed);
    metrics.preparedFiles.store(prepared ? prepared->Files() : 0, relaxed);
    metrics.logLinesSuppressed.store(log.SuppressedTotal(), relaxed);
    return metrics.Render();
}

// A reload's load, on its worker: the package as a start would take it and its store of prepared
// messages, sharing the entries of unchanged files with `previous`. A stopping service ends it early.
Result<ReloadedPackage> LoadForReload(const Options& options, const std::shared_ptr<PreparedFiles>& previous,
                                      const std::atomic<bool>& stopping) {
    Result<Package> loaded = UsablePackage(options.packageDir, &stopping);
    if (!loaded)
        return loaded.error();
    ReloadedPackage reloaded;
    reloaded.package = std::make_shared<const Package>(std::move(*loaded));
    reloaded.prepared = PreparedStore(reloaded.package, options, previous.get());
    return reloaded;
}

// What the signals act on, all of it on the accepting thread.
struct SignalTargets {
    asio::io_context& io;
    Server& server;
    EventLog& log;
    const Options& options;
    PackageReload& reload;
};

void WaitForSignals(asio::signal_set& signals, const SignalTargets& on) {
    signals.async_wait([&signals, on](const asio::error_code& ec, int signal) {
        if (ec)
            return;
        if (signal == SIGUSR1) {
            // Log rotation only: the package stays as it is until a deployer asks for a reload.
            if (ReopenLog(on.log, on.options, "SIGUSR1"))
                on.log.Write("SIGUSR1: log file reopened");
        } else if (signal == SIGHUP) {
            on.reload.Request();
        } else {
            NotifyStopping();
            on.log.Write(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            on.server.Close();
            on.io.stop();
            return;
        }
        WaitForSignals(signals, on);
    });
}

} // namespace

int RunPublisher(int argc, const char* const* argv) {
    // A closed standard error or log pipe must cost a line, not the service.
    std::signal(SIGPIPE, SIG_IGN);
    // Freed memory goes back to the system beyond a few MiB, on every thread: by default the threshold
    // grows with the largest block freed, and the messages a preparation thread built and left in their
    // cache files (--prepared-mib) would stay resident at the top of its heap.
    ::mallopt(M_TRIM_THRESHOLD, 4 << 20);
    const Result<ParsedOptions> read = ParseOptions(argc, argv);
    if (!read) {
        const int status = Fail(RunStep::kCommandLine, read.error());
        std::cerr << "Try 'orvane-publisher --help'.\n";
        return status;
    }
    const ParsedOptions& parsed = *read;
    switch (parsed.action) {
    case ParsedOptions::Action::Help:
        std::cout << HelpText();
        return kExitOk;
    case ParsedOptions::Action::Version:
        std::cout << PublisherVersionLine();
        return kExitOk;
    case ParsedOptions::Action::Reload: {
        // Within systemd's 90 s for a reload, with room for its own bookkeeping.
        const Result<ReloadOutcome> outcome = RequestReload(parsed.reloadPid, std::chrono::seconds(80));
        if (!outcome)
            return Fail(RunStep::kReloadRequest, outcome.error());
        std::cout << "orvane-publisher: " << outcome->text << "\n";
        return outcome->served ? kExitOk : kExitFailed;
    }
    case ParsedOptions::Action::WriteManifest:
        if (Status written = WriteManifest(parsed.options.packageDir); !written)
            return Fail(RunStep::kWriteManifest, written.error());
        return kExitOk;
    case ParsedOptions::Action::CheckConfig:
    case ParsedOptions::Action::Run:
        break;
    }
    const Options& options = parsed.options;
    if (LiesInside(CacheDirOf(options), options.packageDir))
        return Fail(
            RunStep::kCommandLine,
            Error(ErrorKind::kInvalid, "the cache folder " + CacheDirOf(options).string() +
                                           " lies inside the package folder; give --cache-dir outside it"));
    if (parsed.action == ParsedOptions::Action::CheckConfig)
        return CheckConfig(options);

    EventLog log;
    if (!options.logFile.empty())
        if (Status opened = log.OpenFile(options.logFile); !opened)
            return Fail(RunStep::kLogFile, opened.error(), "cannot open log file ");

    for (const std::string& line : TestSwitchWarnings(options.test))
        log.Write(line);
    Result<Package> loaded = UsablePackage(options.packageDir);
    if (!loaded) {
        // The log is standard error unless a file was given: the line appears once either way.
        if (log.ToFile())
            log.Write("refusing to start: " + loaded.error().message());
        return Fail(RunStep::kPackage, loaded.error(), "refusing to start: ");
    }
    RaiseDescriptorLimit();

    asio::io_context io(1);
    auto package = std::make_shared<const Package>(std::move(*loaded));
    auto prepared = PreparedStore(package, options);
    Metrics metrics;
    Server server(io, package, options, log, prepared, &metrics);
    // Closed before the server goes: a scrape reads the server.
    MetricsEndpoint monitoring(
        io, [&] { return RenderMetrics(metrics, server, log); }, [&server] { return server.Healthy(); });
    Status opened = server.Listen();
    if (opened && options.metrics)
        opened = monitoring.Listen(*options.metrics);
    if (!opened) {
        if (log.ToFile())
            log.Write(opened.error().message());
        return Fail(RunStep::kListeners, opened.error());
    }

    // Only once the service can run: a start that fails compresses nothing.
    std::unique_ptr<Preparation> preparation = Prepare(prepared, options, io, log);

    // On SIGHUP, as the load begins on the worker.
    auto begin = [&] {
        ReopenLog(log, options, "SIGHUP");
        NotifyReloading();
        return server.Prepared();
    };
    auto load = [&options](const std::shared_ptr<PreparedFiles>& previous,
                           const std::atomic<bool>& stopping) {
        return LoadForReload(options, previous, stopping);
    };
    // Back on this thread with what the load made.
    auto done = [&](Result<ReloadedPackage> loaded) {
        if (loaded) {
            // The old package's preparation stops within a message; its prepared files stay with the
            // connections that still serve it.
            preparation.reset();
            const std::string outcome = "reloaded, now serving " + Summary(*loaded->package);
            log.Write("SIGHUP: " + outcome);
            server.Replace(loaded->package, loaded->prepared);
            // Told once new connections get the new package: --reload returns on it.
            RecordReloadOutcome(true, outcome);
            metrics.reloadsDone.fetch_add(1, std::memory_order_relaxed);
            NotifyReady("serving " + Summary(*loaded->package));
            preparation = Prepare(loaded->prepared, options, io, log);
        } else {
            const std::string outcome = "reload refused, still serving " + Summary(*server.Current()) + ": " +
                                        loaded.error().message();
            log.Write("SIGHUP: " + outcome);
            RecordReloadOutcome(false, outcome);
            metrics.reloadsRefused.fetch_add(1, std::memory_order_relaxed);
            NotifyReady("serving " + Summary(*server.Current()) + " (the last reload was refused)");
        }
    };
    PackageReload reload(io, begin, load, done);

    asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    signals.add(SIGUSR1);
    WaitForSignals(signals, {io, server, log, options, reload});

    log.Write("serving " + Summary(*server.Current()) + " on " + std::to_string(server.ServingThreads()) +
              " serving threads");
    std::vector<std::string> listening = server.Describe();
    if (options.metrics)
        listening.push_back("metrics " + options.metrics->address + ":" + std::to_string(monitoring.Port()));
    for (const std::string& line : listening) {
        log.Write("listening: " + line);
        std::cout << line << "\n";
    }
    std::cout << "ready" << std::endl;
    NotifyReady("serving " + Summary(*server.Current()));

    io.run();
    // A reload still loading is waited for and dropped.
    reload.Stop();
    monitoring.Close();
    server.Close();
    log.Write("stopped");
    return kExitOk;
}

} // namespace publisher
