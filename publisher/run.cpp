#include "publisher/run.h"

#include "publisher/event_log.h"
#include "publisher/options.h"
#include "publisher/package.h"
#include "publisher/server.h"

#include <asio.hpp>

#include <cstdio>
#include <iostream>

namespace publisher {
namespace {

// sysexits.h values, as service managers and scripts expect them.
constexpr int kExitUsage = 64;
constexpr int kExitDataErr = 65;
constexpr int kExitUnavailable = 69;
constexpr int kExitCantCreate = 73;

} // namespace

int RunPublisher(int argc, const char* const* argv) {
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
    case ParsedOptions::Action::Run:
        break;
    }
    const Options& options = parsed.options;

    EventLog log;
    if (!options.logFile.empty() && !log.OpenFile(options.logFile)) {
        std::cerr << "orvane-publisher: cannot open log file " << options.logFile << "\n";
        return kExitCantCreate;
    }

    PackageLoad load = LoadPackage(options.packageDir);
    if (!load.package) {
        std::cerr << "orvane-publisher: refusing to start: " << load.error << "\n";
        log.Write("refusing to start: " + load.error);
        return kExitDataErr;
    }
    const Package& package = *load.package;

    asio::io_context io(1);
    Server server(io, package, options, log);
    std::string error;
    if (!server.Listen(error)) {
        std::cerr << "orvane-publisher: " << error << "\n";
        log.Write(error);
        return kExitUnavailable;
    }

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& ec, int signal) {
        if (ec)
            return;
        log.Write(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        server.Close();
        io.stop();
    });

    log.Write("serving package " + package.packageNo + " version " + std::to_string(package.verPart3) + "." +
              std::to_string(package.verPart4) + ": " + std::to_string(package.modules.size()) +
              " modules, " + std::to_string(package.bytes) + " bytes");
    for (const std::string& line : server.Describe()) {
        log.Write("listening: " + line);
        std::cout << line << "\n";
    }
    std::cout << "ready" << std::endl;

    io.run();
    log.Write("stopped");
    return 0;
}

} // namespace publisher
