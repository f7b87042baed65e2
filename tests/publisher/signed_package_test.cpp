// Tests of signed packages on the publisher's side: the manifest --write-manifest writes, and the
// refusal to start, check or reload a package whose signature or files do not match it.
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"
#include "service/package_manifest.h"
#include "tests/service/signing_test_keys.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <thread>

using namespace publisher::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The standard package with a terminal for installers, its package.json naming `keys` as the trusted
// ones.
void WriteSignedPackage(const fs::path& root, const std::vector<std::string>& keys) {
    WriteStandardPackage(root);
    WriteFile(root, "modules/client/TalvikTradeSafe.exe", Pattern(10, 5));
    std::string json = ReadText(root / "package.json");
    std::string list;
    for (const auto& k : keys)
        list += (list.empty() ? "\"" : ", \"") + k + "\"";
    json.insert(json.rfind('}'), ", \"signing\": {\"publicKeys\": [" + list + "]}\n");
    std::ofstream(root / "package.json", std::ios::binary | std::ios::trunc) << json;
}

// The manifest's place: the first module with files, "server".
fs::path ManifestOf(const fs::path& root) {
    return root / "modules/server/orvane.manifest";
}

void SignManifest(const fs::path& root, const TestSigner& signer) {
    std::ofstream(root / "modules/server/orvane.manifest.minisig", std::ios::binary | std::ios::trunc)
        << signer.Sign(ReadText(ManifestOf(root)));
}

RunResult WriteManifest(const fs::path& root) {
    return RunPublisherToExit({"--package", root.string(), "--write-manifest"});
}

RunResult CheckConfig(const fs::path& root) {
    return RunPublisherToExit({"--package", root.string(), "--download", "127.0.0.1:0", "--check-config"});
}

// Tests that the manifest lists every downloaded file (not the 'D' module, not itself), is
// byte-identical when written again, that a rewrite after a change drops the stale signature, and that a
// package that cannot be read is refused with the package's exit status.
TEST(SignedPackageTest, WritesADeterministicManifest) {
    TempFolder package;
    WriteStandardPackage(package.path()); // no signing section: writing needs no key
    ASSERT_EQ(WriteManifest(package.path()).status, 0);
    const std::string first = ReadText(ManifestOf(package.path()));
    auto parsed = package_manifest::Read(first);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->packageNo, "000185");
    EXPECT_EQ(parsed->verPart3, 12u);
    ASSERT_EQ(parsed->files.size(), 5u);
    EXPECT_EQ(parsed->files[0].path, "deps\\a\\b\\c\\deep.bin");
    EXPECT_EQ(parsed->files[1].path, "deps\\depend.zip");
    EXPECT_EQ(parsed->files[1].size, 3u * 1024 * 1024 + 17);
    const auto zip = ReadFile(package.path() / "modules/server/deps/depend.zip");
    EXPECT_EQ(parsed->files[1].sha256, package_manifest::HashBytes(zip.data(), zip.size()));

    TestSigner signer(7);
    SignManifest(package.path(), signer);
    RunResult again = WriteManifest(package.path());
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("unchanged"), std::string::npos) << again.out;
    EXPECT_EQ(ReadText(ManifestOf(package.path())), first);
    EXPECT_TRUE(fs::exists(package.path() / "modules/server/orvane.manifest.minisig"));

    WriteFile(package.path(), "modules/client/one.bin", {'x', 'y'});
    ASSERT_EQ(WriteManifest(package.path()).status, 0);
    EXPECT_NE(ReadText(ManifestOf(package.path())), first);
    EXPECT_FALSE(fs::exists(package.path() / "modules/server/orvane.manifest.minisig"));

    // A package that cannot be read is the package's fault (65), not a manifest that cannot be written.
    fs::remove(package.path() / "package.json");
    const RunResult unreadable = WriteManifest(package.path());
    EXPECT_EQ(unreadable.status, 65) << unreadable.out;
    EXPECT_NE(unreadable.out.find("package refused: "), std::string::npos) << unreadable.out;
}

// Tests --check-config with trusted keys: a good signed manifest passes, a stale one (a file changed
// after signing), a missing one, and one signed by another key are refused with status 65 naming why.
TEST(SignedPackageTest, CheckConfigRefusesWhatInstallersWouldRefuse) {
    TestSigner signer(1), other(2);
    TempFolder package;
    WriteSignedPackage(package.path(), {other.PublicText(), signer.PublicText()});
    RunResult missing = CheckConfig(package.path());
    EXPECT_EQ(missing.status, 65);
    EXPECT_NE(missing.out.find("signing: no manifest: orvane.manifest"), std::string::npos) << missing.out;

    ASSERT_EQ(WriteManifest(package.path()).status, 0);
    RunResult unsigned_ = CheckConfig(package.path());
    EXPECT_EQ(unsigned_.status, 65);
    EXPECT_NE(unsigned_.out.find("no signature"), std::string::npos) << unsigned_.out;

    SignManifest(package.path(), signer);
    RunResult good = CheckConfig(package.path());
    EXPECT_EQ(good.status, 0) << good.out;

    WriteFile(package.path(), "modules/client/exact.bin", Pattern(1001, 99));
    RunResult stale = CheckConfig(package.path());
    EXPECT_EQ(stale.status, 65);
    EXPECT_NE(stale.out.find("file changed: exact.bin"), std::string::npos) << stale.out;

    ASSERT_EQ(WriteManifest(package.path()).status, 0);
    SignManifest(package.path(), TestSigner(3));
    RunResult foreign = CheckConfig(package.path());
    EXPECT_EQ(foreign.status, 65);
    EXPECT_NE(foreign.out.find("signed by an untrusted key"), std::string::npos) << foreign.out;

    // A key that is no key is a refused package.json, not an unsigned package.
    WriteSignedPackage(package.path(), {"RWQnotakey"});
    RunResult badKey = CheckConfig(package.path());
    EXPECT_EQ(badKey.status, 65);
    EXPECT_NE(badKey.out.find("signing: publicKeys[0]"), std::string::npos) << badKey.out;
}

// Tests that a start is refused (65) and that a reload keeps the package served when the new files do
// not match the signed manifest, and takes them once they are signed again.
TEST(SignedPackageTest, StartAndReloadRefuseAStalePackage) {
    TestSigner signer(1);
    ServedPackage served([&](const fs::path& root) {
        WriteSignedPackage(root, {signer.PublicText()});
        ASSERT_EQ(WriteManifest(root).status, 0);
        SignManifest(root, signer);
    });
    ASSERT_TRUE(served.process->started());
    const fs::path log = served.work.path() / "events.log";
    WriteFile(served.package.path(), "modules/client/new.bin", {'n'});
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForText(log, "SIGHUP: reload refused, still serving package 000185 version 12.3"));
    EXPECT_NE(ReadText(log).find("file not listed: new.bin"), std::string::npos) << ReadText(log);

    ASSERT_EQ(WriteManifest(served.package.path()).status, 0);
    SignManifest(served.package.path(), signer);
    ASSERT_EQ(kill(served.process->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForText(log, "SIGHUP: reloaded, now serving package 000185 version 12.3"));
    EXPECT_EQ(served.process->Stop(), 0);

    fs::remove(served.package.path() / "modules/server/empty.txt");
    RunResult start = RunPublisherToExit(
        {"--package", served.package.path().string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0"});
    EXPECT_EQ(start.status, 65);
    EXPECT_NE(start.out.find("refusing to start"), std::string::npos) << start.out;
    EXPECT_NE(start.out.find("file missing: empty.txt"), std::string::npos) << start.out;
}

} // namespace
