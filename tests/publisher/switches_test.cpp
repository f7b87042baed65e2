// Tests that each test switch of the publisher produces the fault it promises.
#include "net/session_messages.h"
#include "publisher/package/load_package.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"
#include "tests/publisher/test_client.h"

#include <gtest/gtest.h>

using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

std::vector<ModuleRecord> StandardModules() {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    auto load = publisher::LoadPackage(tmp.path());
    std::vector<ModuleRecord> out;
    for (const auto& m : load->modules)
        out.push_back(m.record);
    return out;
}

} // namespace

// Tests --test-refuse-auth, --test-refuse-login and --test-offer-nothing: each answers with its code.
TEST(SwitchesTest, RefusalsCarryTheirCodes) {
    {
        ServedPackage s({"--test-refuse-auth", "77"});
        ASSERT_TRUE(s.process->started());
        TestClient c;
        ASSERT_TRUE(c.Connect(s.process->checkPort()));
        EXPECT_EQ(c.Authenticate(), 77u);
        TestClient d;
        ASSERT_TRUE(d.Connect(s.process->downloadPorts()[0]));
        EXPECT_EQ(d.Authenticate(), 77u);
    }
    {
        ServedPackage s({"--test-refuse-login", "5"});
        ASSERT_TRUE(s.process->started());
        TestClient c;
        ASSERT_TRUE(c.Connect(s.process->checkPort()));
        EXPECT_EQ(c.Authenticate(), 0u);
        EXPECT_EQ(c.Login("tulip", "tulip"), 5u);
    }
    {
        ServedPackage s({"--test-offer-nothing", "404"});
        ASSERT_TRUE(s.process->started());
        TestClient c;
        ASSERT_TRUE(c.Connect(s.process->checkPort()));
        EXPECT_EQ(c.Authenticate(), 0u);
        EXPECT_EQ(c.Login("tulip", "tulip"), 0u);
        auto rsp = c.UpdateCheck("000185");
        ASSERT_TRUE(rsp);
        EXPECT_EQ(rsp->ErrorCode, 404u);
        EXPECT_EQ(rsp->Offers.at(0).Available, 0);
    }
}

// Tests --test-drop-after: the download connection closes after exactly N messages.
TEST(SwitchesTest, DropAfterClosesAfterNMessages) {
    ServedPackage s({"--test-drop-after", "3"});
    ASSERT_TRUE(s.process->started());
    TestClient c;
    ASSERT_TRUE(c.Connect(s.process->downloadPorts()[0]));
    ASSERT_EQ(c.Authenticate(), 0u);
    auto result = c.Download(StandardModules(), s.work.path() / "temp");
    EXPECT_TRUE(result.closed);
    EXPECT_EQ(result.messages, 3u);
    EXPECT_LT(result.completed.size(), 3u);
}

// Tests --test-garbage: the answer is bytes that a receiver can only drop.
TEST(SwitchesTest, GarbageIsNoPacket) {
    ServedPackage s({"--test-garbage"});
    ASSERT_TRUE(s.process->started());
    TestClient c;
    ASSERT_TRUE(c.Connect(s.process->checkPort()));
    std::vector<uint8_t> req(kAuthentReqSize);
    BuildAuthentRequest(req.data());
    ASSERT_TRUE(c.Send(req));
    std::vector<uint8_t> msg;
    EXPECT_EQ(c.Receive(msg), TestClient::Got::Garbage);
    EXPECT_GT(c.garbageSeen(), 0u);
}

// Tests --test-hostile-reldir: the download starts with a chunk whose RelDir climbs out of the
// folder, and the rest of the package still arrives intact behind it.
TEST(SwitchesTest, HostileRelDirClimbsOut) {
    ServedPackage s({"--test-hostile-reldir"});
    ASSERT_TRUE(s.process->started());
    TestClient c;
    ASSERT_TRUE(c.Connect(s.process->downloadPorts()[0]));
    ASSERT_EQ(c.Authenticate(), 0u);
    fs::path target = s.work.path() / "deep" / "temp";
    auto result = c.Download(StandardModules(), target);
    EXPECT_EQ(result.climbingChunks, 1u);
    EXPECT_EQ(result.completed.size(), 3u);
    EXPECT_FALSE(fs::exists(s.work.path() / "orvane-escape.txt"));
    EXPECT_EQ(ReadFile(target / "exact.bin"), Pattern(1001, 3));
}
