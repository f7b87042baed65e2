// Tests of the publisher's command line, exit statuses and start-up refusals.
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace publisher::testing;

// Tests that --help succeeds and marks the test switches, and that a bad command line exits 64.
TEST(CommandLineTest, HelpAndUsageErrors) {
    RunResult help = RunPublisherToExit({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("TEST SWITCHES"), std::string::npos);
    EXPECT_NE(help.out.find("--test-hostile-reldir"), std::string::npos);

    for (auto args : std::vector<std::vector<std::string>>{
             {"--bogus"},
             {"--check", "127.0.0.1:0"}, // no package
             {"--package", "/tmp", "--check", "localhost:1"},
             {"--package", "/tmp", "--check", "127.0.0.1:70000"},
             {"--package", "/tmp", "--download", "127.0.0.1:0", "--test-refuse-auth", "x"},
             {"--package", "/tmp", "--check", "127.0.0.1:0"}, // nothing to hand out
             {"--package", "/tmp", "--download", "127.0.0.1:0", "--prepare-threads", "x"},
             {"--package", "/tmp", "--download", "127.0.0.1:0", "--prepare-threads", "2000"},
             {"--package", "/tmp", "--download", "127.0.0.1:0", "--cache-dir", ""},
             {"--package=/tmp", "--download=127.0.0.1:0", "--config=/nonexistent/orvane.toml"},
             {"--reload", "4321", "--package", "/tmp"},
         }) {
        RunResult r = RunPublisherToExit(args);
        EXPECT_EQ(r.status, 64) << args[0] << " " << r.out;
        EXPECT_NE(r.out.find("orvane-publisher:"), std::string::npos);
    }
}

// Tests that a malformed manifest stops the start with status 65 and a message naming file and field.
TEST(CommandLineTest, RefusesAMalformedManifest) {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    std::ofstream(tmp.path() / "package.json")
        << R"({"package": "000185", "version": {"part3": 1, "part4": 2},
        "users": [{"name": "tulip", "password": "tulip"}],
        "modules": [{"name": ")"
        << std::string(51, 'n') << R"(", "versionA": 1, "versionB": 1}]})";
    RunResult r = RunPublisherToExit(
        {"--package", tmp.path().string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0"});
    EXPECT_EQ(r.status, 65);
    EXPECT_NE(r.out.find((tmp.path() / "package.json").string() + ": modules[0].name"), std::string::npos)
        << r.out;
}

// Tests that a port already in use exits 69, and that SIGTERM ends a running publisher with status 0.
TEST(CommandLineTest, BusyPortAndCleanStop) {
    TempFolder tmp, work;
    WriteStandardPackage(tmp.path());
    PublisherProcess first({"--package", tmp.path().string(), "--check", "127.0.0.1:0", "--download",
                            "127.0.0.1:0", "--log", (work.path() / "log").string()});
    ASSERT_TRUE(first.started());
    RunResult busy =
        RunPublisherToExit({"--package", tmp.path().string(), "--check",
                            "127.0.0.1:" + std::to_string(first.checkPort()), "--download", "127.0.0.1:0"});
    EXPECT_EQ(busy.status, 69) << busy.out;
    EXPECT_EQ(first.Stop(), 0);
}
