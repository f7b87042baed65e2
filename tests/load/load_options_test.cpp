// Tests of orvane-load's command line: the lines it takes with what they set, and the lines it refuses
// with the one line that says why.
#include "load/load_options.h"

#include <gtest/gtest.h>

#include <sstream>

using load::LoadOptions;
using load::ParseLoadOptions;

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

const std::string kBase = "--service 192.0.2.7:31711 --package-no 000185 ";

} // namespace

// Tests that good lines set exactly the fields they name, and the defaults the rest.
TEST(LoadOptionsTest, GoodLines) {
    struct Case {
        std::string line;
        std::function<void(LoadOptions&)> expect; // applied to the defaults
    };
    auto installs = [](uint32_t n) { return [n](LoadOptions& o) { o.installs = n; }; };
    const Case cases[] = {
        {kBase + "--installs 6", installs(6)},
        {"--installs=6 --package-no=000185 --service=192.0.2.7:31711", installs(6)},
        {kBase + "--installs 1000000", installs(1000000)},
        {kBase + "--installs 6 --concurrency 3 --ramp 2 --json --timeout 60",
         [](LoadOptions& o) {
             o.installs = 6;
             o.concurrency = 3;
             o.rampSeconds = 2;
             o.json = true;
             o.timeoutSeconds = 60;
         }},
        {kBase + "--duration 30", [](LoadOptions& o) { o.durationSeconds = 30; }},
        // A long duration lengthens the default limit, so the last installs may finish.
        {kBase + "--duration 7200",
         [](LoadOptions& o) {
             o.durationSeconds = 7200;
             o.timeoutSeconds = 7800;
         }},
        {kBase + "--duration 30 --timeout 31",
         [](LoadOptions& o) {
             o.durationSeconds = 30;
             o.timeoutSeconds = 31;
         }},
        {kBase + "--installs 2 --expect /srv/pkg --public-key RWQabc",
         [](LoadOptions& o) {
             o.installs = 2;
             o.expectDir = "/srv/pkg";
             o.publicKey = "RWQabc";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const auto parsed = ParseLoadOptions(Words(c.line));
        ASSERT_TRUE(parsed) << parsed.error().message();
        LoadOptions want;
        want.address = "192.0.2.7";
        want.port = 31711;
        want.packageNo = "000185";
        want.timeoutSeconds = load::kDefaultTimeout;
        c.expect(want);
        if (want.durationSeconds != 0 && c.line.find("--timeout") == std::string::npos)
            want.timeoutSeconds =
                std::max(load::kDefaultTimeout, want.durationSeconds + load::kDurationGrace);
        const LoadOptions& got = parsed->options;
        EXPECT_EQ(got.address, want.address);
        EXPECT_EQ(got.port, want.port);
        EXPECT_EQ(got.packageNo, want.packageNo);
        EXPECT_EQ(got.installs, want.installs);
        EXPECT_EQ(got.durationSeconds, want.durationSeconds);
        EXPECT_EQ(got.concurrency, want.concurrency);
        EXPECT_EQ(got.rampSeconds, want.rampSeconds);
        EXPECT_EQ(got.expectDir, want.expectDir);
        EXPECT_EQ(got.publicKey, want.publicKey);
        EXPECT_EQ(got.json, want.json);
        EXPECT_EQ(got.timeoutSeconds, want.timeoutSeconds);
    }
    EXPECT_TRUE(ParseLoadOptions({"--help"})->help);
    EXPECT_TRUE(ParseLoadOptions(Words(kBase + "--help"))->help);
}

// Tests that bad lines are refused with a line naming what is wrong.
TEST(LoadOptionsTest, BadLines) {
    struct Case {
        std::string line;
        std::string error;
    };
    const Case cases[] = {
        {"", "--service ADDR:PORT is required"},
        {"--service 192.0.2.7:31711 --installs 3", "--package-no NO is required"},
        {kBase, "give either --installs or --duration"},
        {kBase + "--installs 3 --duration 10", "give either --installs or --duration"},
        {kBase + "--installs 0", "--installs 0: expected a number from 1 to 1000000"},
        {kBase + "--installs 1000001", "--installs 1000001: expected"},
        {kBase + "--installs 3x", "--installs 3x: expected"},
        {kBase + "--installs -3", "--installs -3: expected"},
        {kBase + "--installs 99999999999", "--installs 99999999999: expected"},
        {kBase + "--installs", "--installs needs a value"},
        {kBase + "--installs 3 --installs 4", "--installs is given twice"},
        {kBase + "--installs 3 --concurrency 0", "--concurrency 0: expected a number from 1 to 256"},
        {kBase + "--installs 3 --concurrency 257", "--concurrency 257: expected"},
        {kBase + "--duration 86401", "--duration 86401: expected seconds from 1 to 86400"},
        {kBase + "--duration 60 --timeout 60", "--duration must be shorter than --timeout"},
        {kBase + "--installs 3 --ramp 60 --timeout 30", "--ramp must be shorter than --timeout"},
        {kBase + "--duration 10 --ramp 10", "--ramp must be shorter than --duration"},
        {kBase + "--installs 3 --json=yes", "--json takes no value"},
        {kBase + "--installs 3 --verbose", "unknown argument: --verbose"},
        {kBase + "--installs 3 extra", "unknown argument: extra"},
        {kBase + "--installs 3 --expect=", "--expect : expected a folder"},
        {"--service 192.0.2.7 --package-no 1 --installs 1", "--service 192.0.2.7: expected an IPv4 address"},
        {"--service host.example:31711 --package-no 1 --installs 1",
         "--service host.example:31711: expected"},
        {"--service 192.0.2.7:0 --package-no 1 --installs 1", "--service 192.0.2.7:0: expected"},
        {"--service 192.0.2.7:65536 --package-no 1 --installs 1", "--service 192.0.2.7:65536: expected"},
        {"--service [::1]:31711 --package-no 1 --installs 1", "--service [::1]:31711: expected"},
        {"--service 192.0.2.7:31711 --package-no 1234567890 --installs 1",
         "--package-no 1234567890: expected 1 to 9"},
        {"--service 192.0.2.7:31711 --package-no 00/185 --installs 1", "--package-no 00/185: expected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const auto parsed = ParseLoadOptions(Words(c.line));
        ASSERT_FALSE(parsed);
        const std::string& error = parsed.error().message();
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}
