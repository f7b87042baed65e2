// Tests of handing out download servers: the weighted rotation over the live ones, the two-failures
// rule, how probe results reach the rotation and the log, and the --advertise weights.
#include "publisher/serving/download_probe.h"
#include "publisher/serving/download_rotation.h"
#include "publisher/ops/event_log.h"
#include "publisher/command_line/parse_options.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <thread>

using namespace publisher;
using namespace publisher::testing;

namespace {

std::vector<uint16_t> Ports(DownloadRotation& r, size_t n) {
    std::vector<uint16_t> out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(r.Next().port);
    return out;
}

std::map<uint16_t, size_t> Tally(const std::vector<uint16_t>& ports) {
    std::map<uint16_t, size_t> t;
    for (uint16_t p : ports)
        ++t[p];
    return t;
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

// Tests that weights 3, 1 and 2 give each server its share in every run of six turns, that the heavy
// one is spread (never three times in a row) and that equal weights alternate in the given order.
TEST(RotationTest, HandsOutByWeight) {
    DownloadRotation r({{{"127.0.0.1", 1}, 3}, {{"127.0.0.1", 2}, 1}, {{"127.0.0.1", 3}, 2}});
    for (int round = 0; round < 4; ++round) {
        auto ports = Ports(r, 6);
        EXPECT_EQ(Tally(ports), (std::map<uint16_t, size_t>{{1, 3}, {2, 1}, {3, 2}})) << round;
        for (size_t i = 2; i < ports.size(); ++i)
            EXPECT_FALSE(ports[i] == 1 && ports[i - 1] == 1 && ports[i - 2] == 1);
    }
    DownloadRotation even({{{"127.0.0.1", 7}, 1}, {{"127.0.0.2", 8}, 1}});
    EXPECT_EQ(Ports(even, 4), (std::vector<uint16_t>{7, 8, 7, 8}));
    DownloadRotation none(std::vector<AdvertisedServer>{});
    EXPECT_EQ(none.Next().port, 0);
    EXPECT_TRUE(none.Next().address.empty());
}

// Tests that a server marked down is never handed out, that the others keep their weights, that with
// every server down all are handed out again by weight, and that one coming back rejoins.
TEST(RotationTest, SkipsServersThatAreDown) {
    DownloadRotation r({{{"127.0.0.1", 1}, 1}, {{"127.0.0.1", 2}, 2}, {{"127.0.0.1", 3}, 1}});
    EXPECT_EQ(r.SetLive(1, false), 2u);
    EXPECT_EQ(Tally(Ports(r, 10)), (std::map<uint16_t, size_t>{{1, 5}, {3, 5}}));
    EXPECT_EQ(r.SetLive(0, false), 1u);
    EXPECT_EQ(Tally(Ports(r, 5)), (std::map<uint16_t, size_t>{{3, 5}}));
    EXPECT_EQ(r.SetLive(2, false), 0u);
    EXPECT_EQ(Tally(Ports(r, 8)), (std::map<uint16_t, size_t>{{1, 2}, {2, 4}, {3, 2}}));
    EXPECT_EQ(r.SetLive(1, true), 1u);
    EXPECT_EQ(Tally(Ports(r, 3)), (std::map<uint16_t, size_t>{{2, 3}}));
    EXPECT_EQ(r.SetLive(5, false), 1u); // no such server: nothing changes
}

// Tests that check sessions on several threads taking servers while the prober marks one down and up
// never get an empty endpoint or a server outside the list (and, under ThreadSanitizer, race on nothing).
TEST(RotationTest, IsSafeFromSeveralThreads) {
    DownloadRotation r({{{"127.0.0.1", 1}, 1}, {{"127.0.0.1", 2}, 3}});
    std::atomic<size_t> wrong{0};
    std::vector<std::thread> takers;
    for (int t = 0; t < 4; ++t)
        takers.emplace_back([&] {
            for (int i = 0; i < 5000; ++i)
                if (uint16_t p = r.Next().port; p != 1 && p != 2)
                    ++wrong;
        });
    for (int i = 0; i < 2000; ++i)
        r.SetLive(i % 2, i % 4 < 2);
    for (auto& t : takers)
        t.join();
    EXPECT_EQ(wrong, 0u);
}

// Tests the two-failures rule: one failure keeps a server, the second in a row takes it out, further
// failures change nothing, an answer brings it back at once, and an answer between two failures
// starts the count again.
TEST(ServerHealthTest, TwoFailuresInARowTakeAServerOut) {
    using C = ServerHealth::Change;
    ServerHealth h;
    EXPECT_EQ(h.Note(false), C::None);
    EXPECT_TRUE(h.Live());
    EXPECT_EQ(h.Note(true), C::None);
    EXPECT_EQ(h.Note(false), C::None);
    EXPECT_TRUE(h.Live());
    EXPECT_EQ(h.Note(false), C::WentDown);
    EXPECT_FALSE(h.Live());
    EXPECT_EQ(h.Note(false), C::None);
    EXPECT_EQ(h.Note(false), C::None);
    EXPECT_EQ(h.Note(true), C::CameBack);
    EXPECT_TRUE(h.Live());
    EXPECT_EQ(h.Note(true), C::None);
    EXPECT_EQ(h.Note(false), C::None);
    EXPECT_TRUE(h.Live());
}

// Tests that probe results reach the rotation by the rule and that each change is logged once: a down
// line with the reason, one line when none is left, an up line, and nothing for repeated results.
TEST(ServerHealthTest, ProbeResultsDriveTheRotationAndTheLogOnce) {
    TempFolder tmp;
    EventLog log;
    ASSERT_TRUE(log.OpenFile((tmp.path() / "log").string()));
    std::vector<Endpoint> servers{{"127.0.0.1", 11}, {"127.0.0.1", 12}};
    DownloadRotation rotation({{servers[0], 1}, {servers[1], 1}});
    asio::io_context io;
    DownloadProber prober(io, servers, rotation, log, std::chrono::seconds(5), std::chrono::seconds(3));
    for (int i = 0; i < 5; ++i)
        prober.Note(0, false, "connect failed: refused");
    EXPECT_EQ(Tally(Ports(rotation, 4)), (std::map<uint16_t, size_t>{{12, 4}}));
    prober.Note(1, false, "no answer within 3000 ms");
    prober.Note(1, false, "no answer within 3000 ms");
    EXPECT_EQ(Tally(Ports(rotation, 4)), (std::map<uint16_t, size_t>{{11, 2}, {12, 2}}));
    prober.Note(0, true, "");
    prober.Note(0, true, "");
    EXPECT_EQ(Tally(Ports(rotation, 4)), (std::map<uint16_t, size_t>{{11, 4}}));

    ASSERT_TRUE(log.Flush());
    const std::string text = ReadAll(tmp.path() / "log");
    EXPECT_EQ(Count(text, "download server 127.0.0.1:11 failed two probes (connect failed: refused)"), 1u);
    EXPECT_EQ(Count(text, "download server 127.0.0.1:12 failed two probes (no answer within 3000 ms)"), 1u);
    EXPECT_EQ(Count(text, "no download server answers: handing out all 2 in turn"), 1u);
    EXPECT_EQ(Count(text, "download server 127.0.0.1:11 answers again"), 1u);
    EXPECT_EQ(Count(text, "\n"), 4u);
}

// Tests the --advertise syntax with and without a weight, and that bad weights, a port 0, --threads 0
// and a bad --probe-seconds are usage errors.
TEST(OptionsTest, AdvertisedWeightsThreadsAndProbing) {
    auto plain = ParseAdvertised("10.0.0.2:31712");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->endpoint.address, "10.0.0.2");
    EXPECT_EQ(plain->endpoint.port, 31712);
    EXPECT_EQ(plain->weight, 1u);
    auto heavy = ParseAdvertised("10.0.0.3:31712,weight=100");
    ASSERT_TRUE(heavy);
    EXPECT_EQ(heavy->weight, 100u);
    for (const char* bad : {"10.0.0.2:31712,weight=0", "10.0.0.2:31712,weight=101", "10.0.0.2:31712,weight=",
                            "10.0.0.2:31712,weight=-1", "10.0.0.2:31712,weight=2x", "10.0.0.2:31712,w=2",
                            "10.0.0.2:31712,", "10.0.0.2:0", "10.0.0.2:0,weight=2", "host:1,weight=2"})
        EXPECT_FALSE(ParseAdvertised(bad)) << bad;

    auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"orvane-publisher", "--package", "/srv/p", "--download", "127.0.0.1:0"});
        std::vector<const char*> argv;
        for (auto& a : args)
            argv.push_back(a.c_str());
        return ParseOptions(int(argv.size()), argv.data());
    };
    auto ok = parse({"--advertise", "10.0.0.2:1,weight=3", "--advertise", "10.0.0.3:2", "--threads", "3",
                     "--probe-seconds", "0"});
    ASSERT_TRUE(ok.ok()) << ok.error().message();
    ASSERT_EQ(ok->action, ParsedOptions::Action::Run);
    ASSERT_EQ(ok->options.advertise.size(), 2u);
    EXPECT_EQ(ok->options.advertise[0].weight, 3u);
    EXPECT_EQ(ok->options.advertise[1].weight, 1u);
    EXPECT_EQ(ok->options.threads, 3u);
    EXPECT_EQ(ok->options.probeSeconds, 0u);
    EXPECT_EQ(parse({})->options.probeSeconds, 5u);
    EXPECT_GE(ServingThreads(parse({})->options.threads), 1u);
    EXPECT_EQ(ServingThreads(3), 3u);
    for (auto bad : std::vector<std::vector<std::string>>{{"--advertise", "10.0.0.2:1,weight=0"},
                                                          {"--threads", "0"},
                                                          {"--threads", "many"},
                                                          {"--probe-seconds", "-1"}}) {
        auto r = parse(bad);
        ASSERT_FALSE(r.ok()) << bad[0] << " " << bad[1];
        EXPECT_NE(r.error().message().find(bad[0]), std::string::npos) << r.error().message();
    }
}
