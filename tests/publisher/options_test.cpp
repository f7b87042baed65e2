// Tests of the publisher's command line and config file: every option in both spellings, the value
// checks and their messages, the config file's grammar and precedence, and the actions.
#include "publisher/command_line/option_parser.h"
#include "publisher/command_line/parse_options.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace publisher;
using namespace publisher::testing;
using Action = ParsedOptions::Action;

namespace {

// A command line's outcome as these tests read it: a refused line has no action and says why.
struct Outcome {
    std::optional<Action> action;
    Options options;
    int reloadPid = 0;
    std::string error;
};
const std::optional<Action> kRefused;

Outcome Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "orvane-publisher");
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    const Result<ParsedOptions> parsed = ParseOptions(int(argv.size()), argv.data());
    if (!parsed)
        return {kRefused, {}, 0, parsed.error().message()};
    return {parsed->action, parsed->options, parsed->reloadPid, {}};
}

// A command line that serves: what each test adds comes after it.
Outcome Serve(std::vector<std::string> args) {
    args.insert(args.begin(), {"--package", "/srv/p", "--download", "127.0.0.1:0"});
    return Parse(std::move(args));
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// "--opt=value" as two arguments, "--opt value".
std::vector<std::string> Spaced(const std::vector<std::string>& joined) {
    std::vector<std::string> args;
    for (const std::string& a : joined) {
        const size_t equals = a.find('=');
        args.push_back(a.substr(0, equals));
        if (equals != std::string::npos)
            args.push_back(a.substr(equals + 1));
    }
    return args;
}

std::string Endpoints(const std::vector<Endpoint>& list) {
    std::string text;
    for (const Endpoint& e : list)
        text += e.address + ":" + std::to_string(e.port) + " ";
    return text;
}

} // namespace

class ConfigFileTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& text) {
        std::string path = (folder_.path() / ("c" + std::to_string(++files_) + ".toml")).string();
        std::ofstream(path) << text;
        return path;
    }
    TempFolder folder_;
    int files_ = 0;
};

// Tests that every valued option reaches its field, given as "--opt value" and as "--opt=value".
TEST(OptionsTest, EveryValuedOptionReachesItsFieldInBothSpellings) {
    const std::vector<std::string> given = Words(
        "--package=/srv/q --check=10.0.0.1:7 --download=10.0.0.2:8 --advertise=10.0.0.3:9,weight=4 "
        "--probe-seconds=17 --metrics=127.0.0.1:9100 --threads=5 --log=/var/log/x.log --heartbeat=0 "
        "--idle-minutes=10080 --auth-seconds=3 --hold-hours=2 --max-per-address=9 --max-check-connections=11 "
        "--max-download-connections=12 --module-batch=65535 --cache-mib=0 --cache-dir=/var/cache/p "
        "--cache-max-mib=0 --prepare-threads=0 --prepared-mib=7 --test-refuse-auth=4294967295 "
        "--test-refuse-login=3 --test-offer-nothing=0 --test-drop-after=18446744073709551615 "
        "--test-time-scale=60 --test-garbage --test-hostile-reldir "
        "--proxy-protocol-from=10.0.0.5,10.1.0.0/16,0.0.0.0/0");
    for (bool joined : {true, false}) {
        Outcome r = Parse(joined ? given : Spaced(given));
        ASSERT_EQ(r.action, Action::Run) << r.error;
        const Options& o = r.options;
        EXPECT_EQ(o.packageDir, "/srv/q");
        EXPECT_EQ(o.check->port, 7);
        EXPECT_EQ(Endpoints(o.downloads), "10.0.0.2:8 ");
        ASSERT_EQ(o.advertise.size(), 1u);
        EXPECT_EQ(o.advertise[0].weight, 4u);
        EXPECT_EQ(o.probeSeconds, 17u);
        EXPECT_EQ(o.metrics->port, 9100);
        EXPECT_EQ(o.threads, 5u);
        EXPECT_EQ(o.logFile, "/var/log/x.log");
        EXPECT_EQ(o.heartbeatSeconds, 0);
        EXPECT_EQ(o.idleMinutes, 10080u);
        EXPECT_EQ(o.authSeconds, 3u);
        EXPECT_EQ(o.holdHours, 2u);
        EXPECT_EQ(o.maxPerAddress, 9u);
        EXPECT_EQ(o.maxCheckConnections, 11u);
        EXPECT_EQ(o.maxDownloadConnections, 12u);
        EXPECT_EQ(o.moduleBatch, 65535u);
        EXPECT_EQ(o.cacheMib, 0u);
        EXPECT_EQ(o.cacheDir, "/var/cache/p");
        EXPECT_EQ(o.cacheMaxMib, 0u);
        EXPECT_EQ(o.prepareThreads, 0u);
        EXPECT_EQ(o.preparedMib, 7u);
        EXPECT_EQ(o.test.refuseAuth, 4294967295u);
        EXPECT_EQ(o.test.refuseLogin, 3u);
        EXPECT_EQ(o.test.offerNothing, 0u);
        EXPECT_EQ(o.test.dropAfter, 18446744073709551615u);
        EXPECT_EQ(o.test.timeScale, 60u);
        EXPECT_TRUE(o.test.garbage && o.test.hostileRelDir);
        ASSERT_EQ(o.proxyFrom.size(), 3u);
        EXPECT_TRUE(o.proxyFrom[0].Contains(0x0A000005) && !o.proxyFrom[0].Contains(0x0A000004));
        EXPECT_TRUE(o.proxyFrom[1].Contains(0x0A01FFFF) && !o.proxyFrom[1].Contains(0x0A020000));
        EXPECT_TRUE(o.proxyFrom[2].Contains(0xFFFFFFFF));
    }
    const Options plain = Serve({}).options;
    EXPECT_FALSE(plain.prepareThreads || plain.cacheMaxMib || plain.metrics || plain.test.garbage);
    EXPECT_FALSE(Serve({"--no-check"}).options.check);
}

// Tests that out-of-range and malformed values are usage errors naming the option, the value and what it
// may be, in both spellings, and that the ends of a range are taken.
TEST(OptionsTest, BadValuesNameTheOptionTheValueAndTheRange) {
    const std::vector<std::string> bad = Words(
        "--threads=1025 --threads=0 --threads=-1 --probe-seconds=3601 --probe-seconds=+5 --heartbeat=86401 "
        "--heartbeat=-1 --idle-minutes=0 --auth-seconds=3601 --hold-hours=8761 --max-per-address=0 "
        "--max-connections=1000001 --module-batch=65536 --cache-mib=1048577 --cache-max-mib=2x "
        "--prepare-threads=1025 --prepared-mib=0x1 --test-time-scale=0 --test-refuse-auth=4294967296 "
        "--test-drop-after=many --check=localhost:1 --download=127.0.0.1:65536 --metrics=1.2.3:80 "
        "--advertise=10.0.0.2:0 --advertise=10.0.0.2:1,weight=101 --proxy-protocol-from=10.0.0.1/8 "
        "--proxy-protocol-from=10.0.0.5, --proxy-protocol-from=10.0.0.5/33 --proxy-protocol-from=::1 "
        "--proxy-protocol-from=10.0.0.0/ --proxy-protocol-from=10.0.0.256");
    for (const std::string& given : bad) {
        const size_t equals = given.find('=');
        const std::string named =
            given.substr(0, equals) + ": \"" + given.substr(equals + 1) + "\": expected";
        for (auto args : {std::vector<std::string>{given}, Spaced({given})}) {
            Outcome r = Serve(args);
            EXPECT_EQ(r.action, kRefused) << given;
            EXPECT_NE(r.error.find(named), std::string::npos) << r.error;
        }
    }
    // An empty folder: "--cache-dir=" reads as a missing value.
    for (auto args : {std::vector<std::string>{"--cache-dir", ""}, {"--cache-dir="}})
        EXPECT_NE(Serve(args).error.find("--cache-dir: "), std::string::npos) << Serve(args).error;
    EXPECT_NE(Serve({"--threads", "0"}).error.find("1 to 1024"), std::string::npos);
    EXPECT_NE(Serve({"--advertise=10.0.0.2:1,weight=0"}).error.find("weight from 1 to 100"),
              std::string::npos);
    EXPECT_NE(
        Serve({"--proxy-protocol-from=10.0.0.0/8,10.0.0.1/8"}).error.find("\"10.0.0.1/8\" has address bits"),
        std::string::npos);
    for (const char* edge : {"--threads=1", "--threads=1024", "--heartbeat=86400", "--probe-seconds=3600"})
        EXPECT_EQ(Serve({edge}).action, Action::Run) << edge;
}

// Tests that an unknown option, a stray argument and a missing value are usage errors naming them.
TEST(OptionsTest, UnknownOptionsStrayArgumentsAndMissingValues) {
    for (const std::string arg : {"--bogus", "stray", "-x", "--threads", "--log", "--no-check=maybe"}) {
        Outcome r = Serve({arg});
        EXPECT_EQ(r.action, kRefused) << arg;
        EXPECT_NE(r.error.find(arg.substr(0, arg.find('='))), std::string::npos) << r.error;
    }
    EXPECT_EQ(Parse({"--package"}).action, kRefused);
    EXPECT_NE(Parse({"--download", "127.0.0.1:0"}).error.find("--package DIR is required"),
              std::string::npos);
}

// Tests that --download and --advertise add up over repeats while other options take the later value,
// and that a per-service connection limit wins over --max-connections wherever each stands.
TEST(OptionsTest, RepeatsAndTheConnectionLimits) {
    Outcome r = Serve({"--download", "127.0.0.1:2", "--advertise", "10.0.0.2:1",
                       "--advertise=10.0.0.3:1,weight=2", "--threads", "2", "--threads=3"});
    ASSERT_EQ(r.action, Action::Run) << r.error;
    EXPECT_EQ(Endpoints(r.options.downloads), "127.0.0.1:0 127.0.0.1:2 ");
    ASSERT_EQ(r.options.advertise.size(), 2u);
    EXPECT_EQ(r.options.advertise[1].weight, 2u);
    EXPECT_EQ(r.options.threads, 3u);
    // Two values after one --download: the second is no download address but a stray argument.
    EXPECT_EQ(Serve({"--download", "127.0.0.1:2", "127.0.0.1:3"}).action, kRefused);

    for (auto args :
         std::vector<std::vector<std::string>>{{"--max-connections", "5", "--max-check-connections", "7"},
                                               {"--max-check-connections", "7", "--max-connections", "5"}}) {
        Outcome limits = Serve(args);
        EXPECT_EQ(limits.options.maxCheckConnections, 7u);
        EXPECT_EQ(limits.options.maxDownloadConnections, 5u);
    }
}

// Tests the actions: help and version answer whatever surrounds them, --reload PID must end the command
// line, and --check-config and --write-manifest exclude each other.
TEST(OptionsTest, HelpVersionReloadAndTheOtherActions) {
    EXPECT_EQ(Parse({"--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"-h"}).action, Action::Help);
    EXPECT_EQ(Parse({"--threads", "0", "--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, Action::Version);
    EXPECT_EQ(Parse({"--version", "--bogus"}).action, Action::Version);

    for (const char* args : {"--reload 4321", "--reload=4321", "--package /srv/p --reload 4321"}) {
        Outcome r = Parse(Words(args));
        EXPECT_EQ(r.action, Action::Reload) << args << ": " << r.error;
        EXPECT_EQ(r.reloadPid, 4321);
    }
    for (const char* args : {"--reload 4321 --threads 2", "--reload 4321 extra", "--reload=4321 extra",
                             "--reload", "--reload 1", "--reload 4194305", "--reload pid"}) {
        Outcome r = Parse(Words(args));
        EXPECT_EQ(r.action, kRefused) << args;
        EXPECT_NE(r.error.find("--reload"), std::string::npos) << r.error;
    }

    EXPECT_EQ(Serve({"--check-config"}).action, Action::CheckConfig);
    EXPECT_EQ(Parse({"--package", "/srv/p", "--write-manifest"}).action, Action::WriteManifest);
    EXPECT_EQ(Serve({"--check-config", "--write-manifest"}).action, kRefused);
    EXPECT_EQ(Serve({"--check", "127.0.0.1:1", "--no-check"}).action, kRefused);
}

// Tests that the help explains every option the parser knows, the test switches and the config file.
TEST(OptionsTest, HelpNamesEveryOption) {
    const std::string help = HelpText();
    const std::vector<std::string> names = OptionNames();
    EXPECT_GT(names.size(), 35u);
    for (const std::string& name : names)
        EXPECT_NE(help.find(name + " "), std::string::npos) << name;
    EXPECT_NE(help.find("TEST SWITCHES"), std::string::npos);
    EXPECT_NE(help.find("CONFIG FILE"), std::string::npos);
}

// Tests that a config file sets options, lists repeat them, and the command line wins over it.
TEST_F(ConfigFileTest, SetsOptionsAndTheCommandLineWins) {
    const std::string file = Write("# the check machine\n"
                                   "package = \"/srv/orvane/package\"\n"
                                   "check = 0.0.0.0:31711   # every address\n"
                                   "download = [\"127.0.0.1:31712\", \"127.0.0.1:31713\"]\n"
                                   "advertise = [\"203.0.113.10:31712\",\n"
                                   "             '203.0.113.11:31712,weight=2']\n"
                                   "threads = 4\n"
                                   "log = \"/var/log/orvane publisher.log\"\n"
                                   "test-garbage = true\n"
                                   "proxy-protocol-from = \"10.0.0.5,10.0.1.0/24\"\n"
                                   "; an INI comment\n");
    Outcome r = Parse({"--config", file});
    ASSERT_EQ(r.action, Action::Run) << r.error;
    EXPECT_EQ(r.options.packageDir, "/srv/orvane/package");
    EXPECT_EQ(r.options.check->address, "0.0.0.0");
    EXPECT_EQ(Endpoints(r.options.downloads), "127.0.0.1:31712 127.0.0.1:31713 ");
    ASSERT_EQ(r.options.advertise.size(), 2u);
    EXPECT_EQ(r.options.advertise[1].weight, 2u);
    EXPECT_EQ(r.options.threads, 4u);
    EXPECT_EQ(r.options.logFile, "/var/log/orvane publisher.log");
    EXPECT_TRUE(r.options.test.garbage);
    EXPECT_EQ(r.options.proxyFrom.size(), 2u);

    Outcome over =
        Parse({"--config=" + file, "--threads", "2", "--download", "127.0.0.1:9", "--package=/srv/q"});
    ASSERT_EQ(over.action, Action::Run) << over.error;
    EXPECT_EQ(over.options.threads, 2u);
    EXPECT_EQ(Endpoints(over.options.downloads), "127.0.0.1:9 "); // replaced, not added to
    EXPECT_EQ(over.options.packageDir, "/srv/q");
    EXPECT_EQ(over.options.logFile, "/var/log/orvane publisher.log");

    // A file's false switch stays off; a command line without --config reads no file.
    EXPECT_TRUE(Parse({"--config", Write("package = /p\ndownload = [\"127.0.0.1:0\"]\nno-check = false\n")})
                    .options.check.has_value());
    EXPECT_EQ(Serve({}).options.threads, 0u);
}

// Tests that the example shipped with the Debian package reads as it says.
TEST(OptionsTest, TheShippedExampleConfigReads) {
    Outcome r = Parse({"--config", ORVANE_EXAMPLE_CONFIG});
    ASSERT_EQ(r.action, Action::Run) << r.error;
    EXPECT_EQ(r.options.packageDir, "/srv/orvane/package");
    ASSERT_EQ(r.options.advertise.size(), 2u);
    EXPECT_EQ(r.options.advertise[1].weight, 2u);
    ASSERT_TRUE(r.options.metrics);
    EXPECT_EQ(r.options.metrics->port, 9731);
}

// Tests that a missing file, an unknown or repeated key, a setting that belongs on the command line,
// and every malformed line are usage errors naming the file (and the line), and that a bad value from
// the file names the option and the file.
TEST_F(ConfigFileTest, RefusesWhatItCannotReadFaithfully) {
    const std::string missing = (folder_.path() / "absent.toml").string();
    Outcome gone = Serve({"--config", missing});
    EXPECT_EQ(gone.action, kRefused);
    EXPECT_NE(gone.error.find("--config " + missing), std::string::npos) << gone.error;
    EXPECT_EQ(Serve({"--config", folder_.path().string()}).action, kRefused);
    EXPECT_NE(Serve({"--config", ""}).error.find("--config: \"\": expected a file"), std::string::npos);

    for (auto [text, says] : std::vector<std::pair<std::string, std::string>>{
             {"pakage = \"/srv/p\"\n", "line 1: unknown key 'pakage'"},
             {"threads = 2\n\nthreads = 3\n", "line 3: 'threads' was already set on line 1"},
             {"reload = 4321\n", "'reload' cannot be set"},
             {"config = \"/etc/other.toml\"\n", "'config' cannot be set"},
             {"check-config = true\n", "'check-config' cannot be set"},
             {"[publisher]\npackage = /srv/p\n", "line 1: sections"},
             {"package\n", "expected key = value"},
             {"xy\n", "line 1: expected key = value"},
             {"package =\n", "no value"},
             {"package = \"/srv/p\n", "quote"},
             {"package = \"/srv/#p\"\n", "quote"},
             {"package = /srv/my package\n", "spaces or commas"},
             {"threads = [1, 2]\n", "one value, not a list"},
             {"download = [\n\"127.0.0.1:1\"]\n", "first value of the list"},
             {"download = [\"127.0.0.1:1\",\n", "not closed"},
             {"download = []\n", "empty"},
             {"no-check = yes\n", "true or false"},
             {std::string("package = \"a\0b\"\n", 16), "line 1"},
         }) {
        const std::string file = Write(text);
        Outcome r = Serve({"--config", file});
        EXPECT_EQ(r.action, kRefused) << text;
        EXPECT_NE(r.error.find("--config " + file + ": "), std::string::npos) << r.error;
        EXPECT_NE(r.error.find(says), std::string::npos) << r.error;
    }

    const std::string bad = Write("threads = 0\n");
    Outcome value = Serve({"--config", bad});
    EXPECT_EQ(value.action, kRefused);
    EXPECT_NE(value.error.find("--threads: \"0\" (in " + bad + "): expected 1 to 1024"), std::string::npos)
        << value.error;
    // The same bad value, overridden on the command line, is never read.
    EXPECT_EQ(Serve({"--config", bad, "--threads", "1"}).action, Action::Run);
}
