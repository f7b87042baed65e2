// Tests that --check-config refuses what a start refuses, and says what a start would warn about.
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

std::vector<std::string> Serve(const fs::path& package, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--package",   package.string(), "--check",
                                  "127.0.0.1:0", "--download",     "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<std::string> With(std::vector<std::string> args, const std::string& more) {
    args.push_back(more);
    return args;
}

// The standard package with the terminal installers start, so that only the fault under test refuses it.
void WriteInstallablePackage(const std::filesystem::path& root) {
    WriteStandardPackage(root);
    WriteFile(root, "modules/client/TalvikTradeSafe.exe", Pattern(10, 5));
}

} // namespace

// Tests that a package file this user cannot read (mode 0600 of another owner, as after rsync -a under a
// service's own user) fails --check-config and the start alike with status 65, naming the file.
TEST(CheckConfigTest, AnUnreadablePackageFileFailsTheCheckAndTheStart) {
    TempFolder tmp;
    const fs::path package = tmp.path() / "pkg";
    WriteInstallablePackage(package);
    // Root reads everything: check as an ordinary user, who may enter every folder but this one file.
    const uid_t user = geteuid() == 0 ? kNobody : geteuid();
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    for (const auto& e : fs::recursive_directory_iterator(package))
        fs::permissions(e.path(), e.is_directory() ? fs::perms(0755) : fs::perms(0644));
    const fs::path secret = package / "modules/client/one.bin";
    fs::permissions(secret, geteuid() == 0 ? fs::perms(0600) : fs::perms::none);

    for (bool check : {true, false}) {
        const auto args = Serve(package, {"--prepare-threads", "0"});
        const RunResult r = RunPublisherToExitAs(user, check ? With(args, "--check-config") : args);
        EXPECT_EQ(r.status, 65) << check << r.out;
        EXPECT_NE(r.out.find(secret.string() + ": Permission denied"), std::string::npos) << r.out;
    }
    fs::permissions(secret, fs::perms(0644));
    const RunResult fine =
        RunPublisherToExitAs(user, With(Serve(package, {"--prepare-threads", "0"}), "--check-config"));
    EXPECT_EQ(fine.status, 0) << fine.out;
}

// Tests that command lines a start refuses fail --check-config with the start's status: --no-check
// alone, a download service on 0.0.0.0 without --advertise, a log file that cannot be opened, a log file
// inside the package, and a listener address this machine does not have.
TEST(CheckConfigTest, RefusesWhatAStartRefuses) {
    TempFolder tmp;
    const fs::path package = tmp.path() / "pkg";
    WriteInstallablePackage(package);
    const std::string p = package.string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::vector<Case> cases{
        {{"--package", p, "--no-check"}, 64, "nothing to serve"},
        {{"--package", p, "--download", "0.0.0.0:0"}, 64, "needs --advertise"},
        {Serve(package, {"--log", (tmp.path() / "no/such/folder/log").string()}), 73, "cannot open log file"},
        {Serve(package, {"--log", (package / "events.log").string()}), 64, "lies inside the package folder"},
        {{"--package", p, "--check", "192.0.2.7:0", "--download", "127.0.0.1:0"}, 69, "cannot listen on"},
    };
    for (const Case& c : cases) {
        const RunResult start = RunPublisherToExit(c.args);
        const RunResult check = RunPublisherToExit(With(c.args, "--check-config"));
        EXPECT_EQ(start.status, c.status) << c.args.back() << ": " << start.out;
        EXPECT_EQ(check.status, c.status) << c.args.back() << ": " << check.out;
        EXPECT_NE(check.out.find(c.says), std::string::npos) << check.out;
    }
    EXPECT_FALSE(fs::exists(package / "events.log"));
}

// Tests that every test switch makes the start log one warning line and --check-config print it, and
// that a plain command line has none.
TEST(CheckConfigTest, TestSwitchesAreWarnedAbout) {
    TempFolder tmp;
    const fs::path package = tmp.path() / "pkg";
    WriteInstallablePackage(package);
    const std::vector<std::string> switches{"--test-hostile-reldir", "--test-garbage", "--test-drop-after",
                                            "5"};
    const RunResult check = RunPublisherToExit(With(Serve(package, switches), "--check-config"));
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(Count(check.out, "warning: test switch"), 3u) << check.out;
    EXPECT_NE(check.out.find("warning: test switch --test-hostile-reldir is on"), std::string::npos);
    const RunResult plain = RunPublisherToExit(With(Serve(package), "--check-config"));
    EXPECT_EQ(Count(plain.out, "warning: test switch"), 0u) << plain.out;

    const fs::path log = tmp.path() / "events.log";
    {
        PublisherProcess running(Serve(package, {"--test-hostile-reldir", "--log", log.string()}));
        ASSERT_TRUE(running.started());
        EXPECT_EQ(running.Stop(), 0);
    }
    const std::string text = TextOf(log);
    EXPECT_EQ(Count(text, "warning: test switch"), 1u) << text;
    EXPECT_NE(text.find("warning: test switch --test-hostile-reldir is on"), std::string::npos) << text;
}
