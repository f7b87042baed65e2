#include "publisher/command_line/option_parser.h"

#include "publisher/command_line/config_file.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <limits>
#include <memory>
#include <set>

namespace publisher {
namespace {

// What a value must be, to be told to the user; empty when `value` is one.
using ValueCheck = std::function<std::string(const std::string& value)>;
using Setter = std::function<void(const std::string& value)>;

constexpr uint32_t kMaxPid = 4194304; // the kernel's ceiling for pid_max

class Grammar {
  public:
    Grammar();
    Grammar(const Grammar&) = delete; // the value checks hold `this`
    Grammar& operator=(const Grammar&) = delete;

    Result<GivenOptions> Read(int argc, const char* const* argv);
    std::vector<std::string> Names() const;

  private:
    CLI::Option* Valued(const std::string& name, const char* type, ValueCheck check, Setter set);
    CLI::Option* Repeated(const std::string& name, const char* type, ValueCheck check, Setter add);
    template <typename T>
    CLI::Option* Number(const std::string& name, T min, T max, std::function<void(T)> set,
                        const char* type = "N", std::string expected = {});
    CLI::Validator Checked(const std::string& name, ValueCheck check) const;
    std::string ConfigFile() const;
    static Error Usage(std::string message);

    GivenOptions given_;
    Options& o_ = given_.parsed.options;
    CLI::App app_;
    std::set<std::string> fromFile_; // keys whose values came from the config file
    std::optional<uint32_t> maxConnections_;
    bool checkConfig_ = false;
    bool writeManifest_ = false;
    CLI::Option* config_ = nullptr;
    CLI::Option* maxCheck_ = nullptr;
    CLI::Option* maxDownload_ = nullptr;
    CLI::Option* reload_ = nullptr;
};

Grammar::Grammar() : app_("", "orvane-publisher") {
    // A later value wins, so that a line appended to a unit's command line overrides what it had.
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // HelpText() is the help. Help and version answer as soon as they are read, whatever follows.
    app_.set_help_flag();
    app_.add_flag_callback("-h,--help", [] { throw CLI::CallForHelp(); })
        ->trigger_on_parse()
        ->configurable(false);
    app_.add_flag_callback("--version", [] { throw CLI::CallForVersion(); })
        ->trigger_on_parse()
        ->configurable(false);
    config_ = app_.set_config("--config", "", "", false);
    // CLI11 reads no file for an empty name: without this check, "--config $UNSET" would pass unnoticed.
    config_->type_name("FILE")->check(
        Checked("--config", [](const std::string& v) { return v.empty() ? "expected a file" : ""; }));
    app_.config_formatter(std::make_shared<ConfigFileReader>(app_, fromFile_));
    app_.allow_config_extras(CLI::config_extras_mode::error);

    const ValueCheck anything = [](const std::string&) { return std::string(); };
    const ValueCheck endpoint = [](const std::string& v) {
        return ParseEndpoint(v) ? "" : "expected a dotted IPv4 address and a port, e.g. 127.0.0.1:31711";
    };
    const ValueCheck advertised = [](const std::string& v) {
        return ParseAdvertised(v) ? ""
                                  : "expected a dotted IPv4 address, a port from 1 to 65535 and optionally a "
                                    "weight from 1 to " +
                                        std::to_string(kMaxWeight) + ", e.g. 203.0.113.10:31712,weight=3";
    };
    Valued("--package", "DIR", anything, [this](const std::string& v) { o_.packageDir = v; });
    Valued("--check", "ADDR:PORT", endpoint,
           [this](const std::string& v) { given_.check = ParseEndpoint(v); });
    app_.add_flag("--no-check", given_.noCheck);
    Repeated("--download", "ADDR:PORT", endpoint, [this](const std::string& v) {
        if (auto d = ParseEndpoint(v))
            o_.downloads.push_back(*d);
    });
    Repeated("--advertise", "ADDR:PORT[,weight=N]", advertised, [this](const std::string& v) {
        if (auto a = ParseAdvertised(v))
            o_.advertise.push_back(*a);
    });
    Number<uint32_t>("--probe-seconds", 0, 3600, [this](uint32_t n) { o_.probeSeconds = n; });
    Valued("--metrics", "ADDR:PORT", endpoint,
           [this](const std::string& v) { o_.metrics = ParseEndpoint(v); });
    Valued(
        "--proxy-protocol-from", "ADDR[/BITS],...",
        [](const std::string& v) {
            const auto blocks = ParseAddressBlocks(v);
            return blocks ? ""
                          : "expected IPv4 addresses or ADDR/BITS blocks separated by commas, e.g. "
                            "10.0.0.5,10.0.1.0/24 (" +
                                blocks.error().message() + ")";
        },
        [this](const std::string& v) {
            if (auto blocks = ParseAddressBlocks(v))
                o_.proxyFrom = std::move(*blocks);
        });
    Number<uint32_t>("--threads", 1, 1024, [this](uint32_t n) { o_.threads = n; });
    Valued("--log", "FILE", anything, [this](const std::string& v) { o_.logFile = v; });
    Number<int32_t>(
        "--heartbeat", 0, 86400, [this](int32_t n) { o_.heartbeatSeconds = n; }, "SECONDS",
        "expected 0 to 86400 seconds");
    Number<uint32_t>("--idle-minutes", 1, 10080, [this](uint32_t n) { o_.idleMinutes = n; });
    Number<uint32_t>("--auth-seconds", 1, 3600, [this](uint32_t n) { o_.authSeconds = n; });
    Number<uint32_t>("--hold-hours", 1, 8760, [this](uint32_t n) { o_.holdHours = n; });
    Number<uint32_t>("--max-per-address", 1, 1000000, [this](uint32_t n) { o_.maxPerAddress = n; });
    maxCheck_ = Number<uint32_t>("--max-check-connections", 1, 1000000,
                                 [this](uint32_t n) { o_.maxCheckConnections = n; });
    maxDownload_ = Number<uint32_t>("--max-download-connections", 1, 1000000,
                                    [this](uint32_t n) { o_.maxDownloadConnections = n; });
    Number<uint32_t>("--max-connections", 1, 1000000, [this](uint32_t n) { maxConnections_ = n; });
    Number<uint32_t>("--module-batch", 1, 65535, [this](uint32_t n) { o_.moduleBatch = n; });
    Number<uint32_t>("--cache-mib", 0, 1048576, [this](uint32_t n) { o_.cacheMib = n; });
    Valued(
        "--cache-dir", "DIR", [](const std::string& v) { return v.empty() ? "expected a folder" : ""; },
        [this](const std::string& v) { o_.cacheDir = v; });
    Number<uint32_t>("--cache-max-mib", 0, 1048576, [this](uint32_t n) { o_.cacheMaxMib = n; });
    Number<uint32_t>("--prepare-threads", 0, 1024, [this](uint32_t n) { o_.prepareThreads = n; });
    Number<uint32_t>("--prepared-mib", 0, 1048576, [this](uint32_t n) { o_.preparedMib = n; });

    // Actions: a config file holds the service's settings, never what one run of the program does.
    CLI::Option* checkConfig = app_.add_flag("--check-config", checkConfig_)->configurable(false);
    app_.add_flag("--write-manifest", writeManifest_)->configurable(false)->excludes(checkConfig);
    reload_ = Number<uint32_t>(
        "--reload", 2, kMaxPid, [this](uint32_t pid) { given_.parsed.reloadPid = int(pid); }, "PID",
        "expected a process ID from 2 to " + std::to_string(kMaxPid));
    reload_->configurable(false);

    constexpr uint32_t kMaxCode = std::numeric_limits<uint32_t>::max();
    const std::string code = "expected an error code from 0 to " + std::to_string(kMaxCode);
    Number<uint32_t>(
        "--test-refuse-auth", 0, kMaxCode, [this](uint32_t c) { o_.test.refuseAuth = c; }, "CODE", code);
    Number<uint32_t>(
        "--test-refuse-login", 0, kMaxCode, [this](uint32_t c) { o_.test.refuseLogin = c; }, "CODE", code);
    Number<uint32_t>(
        "--test-offer-nothing", 0, kMaxCode, [this](uint32_t c) { o_.test.offerNothing = c; }, "CODE", code);
    Number<uint64_t>(
        "--test-drop-after", 0, std::numeric_limits<uint64_t>::max(),
        [this](uint64_t n) { o_.test.dropAfter = n; }, "N", "expected a number of messages");
    app_.add_flag("--test-close-after-login", o_.test.closeAfterLogin);
    Number<uint64_t>(
        "--test-drop-times", 1, std::numeric_limits<uint64_t>::max(),
        [this](uint64_t n) { o_.test.dropTimes = n; }, "N", "expected a number of connections");
    app_.add_flag("--test-garbage", o_.test.garbage);
    app_.add_flag("--test-hostile-reldir", o_.test.hostileRelDir);
    Number<uint32_t>("--test-time-scale", 1, 1000000, [this](uint32_t n) { o_.test.timeScale = n; });
}

CLI::Validator Grammar::Checked(const std::string& name, ValueCheck check) const {
    return CLI::Validator(
        [this, key = name.substr(2), check = std::move(check)](std::string& value) {
            std::string expected = check(value);
            if (expected.empty())
                return expected;
            std::string where = fromFile_.contains(key) ? " (in " + ConfigFile() + ")" : "";
            return "\"" + value + "\"" + where + ": " + expected;
        },
        "");
}

CLI::Option* Grammar::Valued(const std::string& name, const char* type, ValueCheck check, Setter set) {
    CLI::Option* option = app_.add_option_function<std::string>(name, std::move(set));
    return option->type_name(type)->check(Checked(name, std::move(check)));
}

CLI::Option* Grammar::Repeated(const std::string& name, const char* type, ValueCheck check, Setter add) {
    CLI::Option* option = app_.add_option_function<std::vector<std::string>>(
        name, [add = std::move(add)](const std::vector<std::string>& values) {
            for (const std::string& v : values)
                add(v);
        });
    // One value per occurrence; the occurrences add up.
    return option->type_name(type)
        ->check(Checked(name, std::move(check)))
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

template <typename T>
CLI::Option* Grammar::Number(const std::string& name, T min, T max, std::function<void(T)> set,
                             const char* type, std::string expected) {
    if (expected.empty())
        expected = "expected " + std::to_string(min) + " to " + std::to_string(max);
    return Valued(
        name, type,
        [=](const std::string& v) { return ParseNumber<T>(v, min, max) ? std::string() : expected; },
        [=](const std::string& v) {
            if (auto n = ParseNumber<T>(v, min, max))
                set(*n);
        });
}

std::string Grammar::ConfigFile() const {
    return config_->results().empty() ? "" : config_->results().back();
}

Error Grammar::Usage(std::string message) {
    return Error(ErrorKind::kInvalid, std::move(message));
}

Result<GivenOptions> Grammar::Read(int argc, const char* const* argv) {
    // --reload is systemd's ExecReload: only its process ID may follow it, so that a slip in the unit
    // cannot pass for a start.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if ((arg == "--reload" && i + 2 != argc) || (arg.starts_with("--reload=") && i + 1 != argc))
            return Usage("--reload takes the service's process ID and nothing else");
    }
    try {
        app_.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        given_.parsed.action = ParsedOptions::Action::Help;
        return std::move(given_);
    } catch (const CLI::CallForVersion&) {
        given_.parsed.action = ParsedOptions::Action::Version;
        return std::move(given_);
    } catch (const CLI::FileError&) {
        return Usage("--config " + ConfigFile() + ": cannot be read");
    } catch (const CLI::ConfigError& e) {
        return Usage("--config " + ConfigFile() + ": " + e.what());
    } catch (const CLI::ExtrasError& e) {
        const std::vector<std::string> extra = app_.remaining();
        if (extra.empty())
            return Usage(e.what());
        return Usage((extra[0].starts_with('-') ? "unknown option " : "unexpected argument ") + extra[0]);
    } catch (const CLI::Error& e) {
        return Usage(e.what());
    }
    if (reload_->count() > 0) {
        given_.parsed.action = ParsedOptions::Action::Reload;
        return std::move(given_);
    }
    if (checkConfig_)
        given_.parsed.action = ParsedOptions::Action::CheckConfig;
    else if (writeManifest_)
        given_.parsed.action = ParsedOptions::Action::WriteManifest;
    // The limit of one service wins over the one for both, wherever each was given.
    if (maxConnections_ && maxCheck_->count() == 0)
        o_.maxCheckConnections = *maxConnections_;
    if (maxConnections_ && maxDownload_->count() == 0)
        o_.maxDownloadConnections = *maxConnections_;
    return std::move(given_);
}

std::vector<std::string> Grammar::Names() const {
    std::vector<std::string> names;
    for (const CLI::Option* option : app_.get_options())
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
    return names;
}

} // namespace

Result<GivenOptions> ReadCommandLine(int argc, const char* const* argv) {
    return Grammar().Read(argc, argv);
}

std::vector<std::string> OptionNames() {
    return Grammar().Names();
}

} // namespace publisher
