// Tests of the check client against a scripted service on loopback: the event chain, what it stores,
// what it posts and what it logs.
#include "client_harness.h"
#include "scripted_peer.h"

#include "core/wire.h"
#include "service/messages.h"

#include <cstring>

using namespace messages;

namespace {

std::vector<uint8_t> Offer(uint8_t available, uint32_t error = 0, const char* address = "127.0.0.1",
                           uint32_t port = 31712) {
    UpdateCheckResponse rsp;
    rsp.ErrorCode = error;
    rsp.Offers.push_back({"000185", 4, 17, address, port, available});
    return EncodeUpdateCheckResponse(rsp);
}

// Answers the update check with an offer and the module check with the given messages.
ScriptedPeer::Script Service(std::vector<std::vector<uint8_t>> moduleReplies) {
    return [moduleReplies](ScriptedPeer& peer, const std::vector<uint8_t>& req) {
        uint16_t type = PeekType(req.data(), req.size());
        if (type == kPkgUpdateCheckReq)
            peer.Reply(Offer(1));
        else if (type == kPkgModuleCheckReq)
            for (const auto& m : moduleReplies)
                peer.Reply(m);
    };
}

std::vector<uint8_t> ModuleReply(std::vector<ModuleRecord> mods, char last) {
    ModuleCheckResponse rsp;
    rsp.LastFlag = last;
    rsp.Modules = std::move(mods);
    return EncodeModuleCheckResponse(rsp);
}

std::vector<std::string> Without(std::vector<std::string> lines, const std::string& prefix) {
    std::erase_if(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    return lines;
}

} // namespace

// Tests that a module-check reply in three messages completes once, after the third, with the records
// of all three in arrival order, and that the update check's answer is stored before 1130 arrives.
TEST(ProcessCheckTest, ReplyInThreeMessagesCompletesOnce) {
    ClientHarness h;
    h.connectDownload = false;
    ScriptedPeer peer(Service({ModuleReply({Module("core", 1, 2), Module("docs", 3, 4)}, '1'),
                               ModuleReply({}, '2'), ModuleReply({Module("data", 5, 6, 'D')}, '0')}));
    ASSERT_TRUE(h.check.SetServer("127.0.0.1", peer.port()));
    ASSERT_TRUE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyModuleListDone));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "ZynPublish_L_PkgModuleCheck_Rsp"));
    EXPECT_EQ(h.Messages(), std::vector<uint32_t>{kNotifyModuleListDone});

    const InstallSettings& s = GetInstallSettings();
    EXPECT_EQ(s.NewVerPart3, 4u);
    EXPECT_EQ(s.NewVerPart4, 17u);
    EXPECT_STREQ(s.DownloadAddress, "127.0.0.1");
    EXPECT_EQ(s.DownloadPort, 31712u);
    ASSERT_EQ(GetModuleList().size(), 3u);
    EXPECT_EQ(GetModuleList()[0].Name(), "core");
    EXPECT_EQ(GetModuleList()[1].Name(), "docs");
    EXPECT_EQ(GetModuleList()[2].State, 'D');

    // The requests on the wire, byte for byte: 93 and 134 bytes.
    auto reqs = peer.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], EncodeUpdateCheckRequest({"000185", 0, 0}));
    EXPECT_EQ(reqs[1], EncodeModuleCheckRequest({'P', "000185", 4, 17}));

    // Open logs the endpoint after the connect, when the receive thread may already be answering.
    auto lines = h.LogLines();
    auto endpoint =
        std::find(lines.begin(), lines.end(), "SocketSend_ip:127.0.0.1__port:" + std::to_string(peer.port()));
    ASSERT_NE(endpoint, lines.end());
    lines.erase(endpoint);
    EXPECT_EQ(lines, (std::vector<std::string>{"ProcessCheck" FW "QryCheckUpdate",
                                               "ProcessCheck" FW "QryCheckModule",
                                               "ProcessCheck" FW "ZynPublish_L_PkgModuleCheck_Rsp"}));
}

// Tests that a module-check answer with an error code is no (empty) module list: a package not on
// offer is reported as nothing offered, with its code; any other code fails the run as a transport
// fault, which another attempt may pass.
TEST(ProcessCheckTest, ModuleCheckErrorIsNoModuleList) {
    struct Case {
        uint32_t code;
        uint32_t message;
        ProcessClient::Fault fault;
    };
    for (const Case& c :
         {Case{messages::kErrorPackageNotOffered, kNotifyNothingOffered, ProcessClient::Fault::kNone},
          Case{13, kNotifyCheckLost, ProcessClient::Fault::kTransport}}) {
        SCOPED_TRACE(c.code);
        ClientHarness h;
        h.connectDownload = false;
        ModuleCheckResponse rsp;
        rsp.ErrorCode = c.code;
        ScriptedPeer peer(Service({EncodeModuleCheckResponse(rsp)}));
        h.check.SetServer("127.0.0.1", peer.port());
        ASSERT_TRUE(h.check.Connect());
        ASSERT_TRUE(h.RunUntilAny({kNotifyModuleListDone, kNotifyNothingOffered, kNotifyCheckLost}));
        ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "ZynPublish_L_PkgModuleCheck_Rsp ErrorCode " +
                                 std::to_string(c.code) + " Faile"));
        EXPECT_EQ(h.notes.at(0).first, c.message);
        EXPECT_FALSE(h.Seen(kNotifyModuleListDone));
        EXPECT_EQ(h.check.fault(), c.fault);
        if (c.message == kNotifyNothingOffered) {
            EXPECT_EQ(h.notes.at(0).second, intptr_t(c.code));
        }
    }
}

// Tests that a refused link authentication posts 1127, logs it and sends no login or query.
TEST(ProcessCheckTest, RefusedAuthentication) {
    ClientHarness h;
    ScriptedPeer peer(Service({}), {.authError = 3});
    h.check.SetServer("127.0.0.1", peer.port());
    ASSERT_TRUE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyCheckAuthRefused));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "OnAuthentLink Faile"));
    EXPECT_EQ(h.notes[0], ClientHarness::Note(kNotifyCheckAuthRefused, 0));
    EXPECT_TRUE(peer.Requests().empty());
    EXPECT_EQ(Without(h.LogLines(), "SocketSend"),
              std::vector<std::string>{"ProcessCheck" FW "OnAuthentLink Faile"});
}

// Tests that a refused login posts 1128 and logs it in its own tag.
TEST(ProcessCheckTest, RefusedLogin) {
    ClientHarness h;
    ScriptedPeer peer(Service({}), {.loginError = 8});
    h.check.SetServer("127.0.0.1", peer.port());
    ASSERT_TRUE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyLoginRefused));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck_OnLogin" FW "Connect Faile"));
    EXPECT_TRUE(peer.Requests().empty());
    EXPECT_EQ(Without(h.LogLines(), "SocketSend"),
              std::vector<std::string>{"ProcessCheck_OnLogin" FW "Connect Faile"});
}

// Tests that nothing on offer posts 1134 with the service's error code and asks for no modules, and
// that an answer without any record is reported the same way instead of stalling.
TEST(ProcessCheckTest, NothingOfferedReportsErrorCode) {
    for (bool empty : {false, true}) {
        ClientHarness h;
        ScriptedPeer peer([empty](ScriptedPeer& p, const std::vector<uint8_t>&) {
            p.Reply(empty ? EncodeUpdateCheckResponse({7, {}}) : Offer(0, 5));
        });
        h.check.SetServer("127.0.0.1", peer.port());
        ASSERT_TRUE(h.check.Connect());
        ASSERT_TRUE(h.RunUntil(kNotifyNothingOffered));
        ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "ZynPublish_L_PkgUpdateCheck_Rsp"));
        EXPECT_EQ(h.notes[0], ClientHarness::Note(kNotifyNothingOffered, empty ? 7 : 5));
        EXPECT_EQ(peer.Requests().size(), 1u); // the update check only
        EXPECT_EQ(Without(h.LogLines(), "SocketSend").back(),
                  "ProcessCheck" FW "ZynPublish_L_PkgUpdateCheck_Rsp");
    }
}

// Tests that two offers in one answer each run: the second overwrites the first's fields, and each
// sends its own module check.
TEST(ProcessCheckTest, TwoOffersRunTwice) {
    ClientHarness h;
    h.connectDownload = false;
    int moduleChecks = 0;
    ScriptedPeer peer([&moduleChecks](ScriptedPeer& p, const std::vector<uint8_t>& req) {
        if (PeekType(req.data(), req.size()) == kPkgUpdateCheckReq) {
            UpdateCheckResponse rsp;
            rsp.Offers = {{"000185", 1, 1, "10.0.0.1", 1000, 1},
                          {"000185", 2, 2, std::string(60, '7'), 2000, 1}};
            p.Reply(EncodeUpdateCheckResponse(rsp));
        } else if (++moduleChecks == 2) {
            p.Reply(ModuleReply({}, '0')); // once both module checks are in
        }
    });
    h.check.SetServer("127.0.0.1", peer.port());
    ASSERT_TRUE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyModuleListDone));
    EXPECT_EQ(std::string(GetInstallSettings().DownloadAddress), std::string(50, '7'));
    EXPECT_EQ(GetInstallSettings().DownloadPort, 2000u);
    auto reqs = peer.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1], EncodeModuleCheckRequest({'P', "000185", 1, 1}));
    EXPECT_EQ(reqs[2], EncodeModuleCheckRequest({'P', "000185", 2, 2}));
}

// Tests that a module-check answer whose records lie outside the message adds nothing to ModuleList
// and ends in a reported lost connection rather than a silent stall.
TEST(ProcessCheckTest, LyingModuleAnswerIsDroppedAndReported) {
    ClientHarness h;
    auto lying = ModuleReply({Module("core", 1, 2)}, '0');
    wire::StoreU16(&lying[9], 3); // claims three records, carries one
    ScriptedPeer peer(Service({lying}));
    h.check.SetServer("127.0.0.1", peer.port());
    ASSERT_TRUE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyCheckLost));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "OnClientDisconnect Faile"));
    EXPECT_TRUE(GetModuleList().empty());
    EXPECT_FALSE(h.Seen(kNotifyModuleListDone));
    auto lines = h.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ProcessCheck" FW "Malformed ZynPublish_L_PkgModuleCheck_Rsp Faile"),
              lines.end());
    EXPECT_EQ(Without(lines, "SocketSend").back(), "ProcessCheck" FW "OnClientDisconnect Faile");
}

// Tests that a connection the service drops posts 1136 and logs it, and that a failed connect reports
// the same during Connect.
TEST(ProcessCheckTest, LostConnectionIsReported) {
    ClientHarness h;
    ScriptedPeer peer([](ScriptedPeer& p, const std::vector<uint8_t>&) { p.CloseConnection(); });
    h.check.SetServer("127.0.0.1", peer.port());
    ASSERT_TRUE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyCheckLost));
    ASSERT_TRUE(h.WaitForLog("ProcessCheck" FW "OnClientDisconnect Faile"));
    EXPECT_EQ(Without(h.LogLines(), "SocketSend").back(), "ProcessCheck" FW "OnClientDisconnect Faile");
}

// Tests that a connect to a port where nobody listens fails, posting 1136 during Connect.
TEST(ProcessCheckTest, FailedConnectIsReported) {
    ClientHarness h;
    uint16_t closedPort = 0;
    {
        ScriptedPeer gone([](ScriptedPeer&, const std::vector<uint8_t>&) {});
        closedPort = gone.port();
    }
    h.check.SetServer("127.0.0.1", closedPort);
    EXPECT_FALSE(h.check.Connect());
    ASSERT_TRUE(h.RunUntil(kNotifyCheckLost));
    // Reported inside the connect, before the endpoint line.
    EXPECT_EQ(h.LogLines(),
              (std::vector<std::string>{"ProcessCheck" FW "OnClientDisconnect Faile",
                                        "SocketSend_ip:127.0.0.1__port:" + std::to_string(closedPort)}));
}
