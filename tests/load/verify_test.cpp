// Tests of the load's check of a download: a package folder mapped to the paths installers receive,
// a download compared with it byte for byte, and a download checked against its manifest, with and
// without the manifest's signature.
#include "load/results.h"
#include "load/verify.h"
#include "service/package_manifest.h"
#include "tests/publisher/temp_package.h"
#include "tests/service/signing_test_keys.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
using publisher::testing::TempFolder;
using publisher::testing::WriteFile;

namespace {

// "数据.txt" in UTF-8, and as code page 936 names it on the wire.
const std::string kUtf8Name = "\xe6\x95\xb0\xe6\x8d\xae.txt";
const std::string kWireName = "\xca\xfd\xbe\xdd.txt";

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Modules a (two files, one in a subfolder, one with a Chinese name), b (whose top.bin replaces a's),
// d (state D: never downloaded) and c (no folder).
void WriteVerifyPackage(const fs::path& root) {
    std::ofstream(root / "package.json") << R"({"package": "000185", "version": {"part3": 12, "part4": 3},
        "users": [{"name": "tulip", "password": "tulip"}], "modules": [
        {"name": "a", "versionA": 1, "versionB": 1, "folder": "modules/a"},
        {"name": "b", "versionA": 1, "versionB": 1, "folder": "modules/b"},
        {"name": "d", "versionA": 1, "versionB": 1, "state": "D", "folder": "modules/d"},
        {"name": "c", "versionA": 1, "versionB": 1}]})";
    WriteFile(root, "modules/a/top.bin", Bytes("from a"));
    WriteFile(root, "modules/a/sub/deep/x.bin", Bytes("deep file"));
    WriteFile(root, "modules/a/" + kUtf8Name, Bytes("named"));
    WriteFile(root, "modules/b/top.bin", Bytes("from b"));
    WriteFile(root, "modules/d/never.bin", Bytes("never"));
}

// The download the package above gives: wire path -> contents, laid out as the writer lays it out.
std::map<std::string, std::string> Download() {
    return {{"top.bin", "from b"}, {"sub\\deep\\x.bin", "deep file"}, {kWireName, "named"}};
}

void Lay(const fs::path& folder, const std::map<std::string, std::string>& files) {
    for (const auto& [wire, text] : files) {
        std::string native = wire;
        std::replace(native.begin(), native.end(), '\\', '/');
        WriteFile(folder, native, Bytes(text));
    }
}

std::string ManifestOf(const std::map<std::string, std::string>& files,
                       const std::string& packageNo = "000185", uint32_t part4 = 3) {
    package_manifest::Manifest m{packageNo, 12, part4, {}};
    for (const auto& [wire, text] : files)
        m.files.push_back({wire, text.size(), package_manifest::HashBytes(text.data(), text.size())});
    return *package_manifest::Format(m);
}

} // namespace

// Tests that the files of every downloaded module land at their download paths, a later module's file
// replacing an earlier one's, names in code page 936, and that modules in state D bring nothing.
TEST(LoadVerifyTest, PackageFolderMapsToDownloadPaths) {
    TempFolder package;
    WriteVerifyPackage(package.path());
    const auto expected = load::LoadExpectedPackage(package.path());
    ASSERT_TRUE(expected) << expected.error().message();
    EXPECT_EQ(expected->packageNo, "000185");
    std::map<std::string, fs::path> want{
        {"top.bin", package.path() / "modules/b/top.bin"},
        {"sub\\deep\\x.bin", package.path() / "modules/a/sub/deep/x.bin"},
        {kWireName, package.path() / "modules/a" / kUtf8Name},
    };
    EXPECT_EQ(expected->files, want);
}

// Tests that a package folder that cannot be read is refused with the file named.
TEST(LoadVerifyTest, UnreadablePackageFolders) {
    struct Case {
        const char* json; // null: no package.json at all
        const char* why;
    };
    const Case cases[] = {
        {nullptr, "package.json: cannot be read"},
        {"{\"package\": ", "package.json: "},
        {R"({"modules": []})", "package.json: "},
        {R"({"package": "1", "modules": [{"name": "a", "folder": "gone"}]})", "gone: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        TempFolder package;
        if (c.json)
            std::ofstream(package.path() / "package.json") << c.json;
        const auto expected = load::LoadExpectedPackage(package.path());
        ASSERT_FALSE(expected);
        EXPECT_NE(expected.error().message().find(c.why), std::string::npos) << expected.error().message();
    }
}

// Tests the byte-for-byte comparison with --expect: the exact download passes; a changed byte, a file
// missing, one too many and one of the right size but other bytes each fail, naming the file.
TEST(LoadVerifyTest, DownloadAgainstThePackageFolder) {
    TempFolder package;
    WriteVerifyPackage(package.path());
    load::Verification v;
    v.packageNo = "000185";
    auto expected = load::LoadExpectedPackage(package.path());
    ASSERT_TRUE(expected) << expected.error().message();
    v.expect = std::move(*expected);
    struct Case {
        const char* what;
        std::function<void(std::map<std::string, std::string>&)> change;
        std::string why; // empty: passes
    };
    const Case cases[] = {
        {"exact", [](auto&) {}, ""},
        {"one byte changed", [](auto& f) { f["sub\\deep\\x.bin"][4] = 'F'; },
         "file differs from --expect: sub\\deep\\x.bin"},
        {"one byte more", [](auto& f) { f["top.bin"] += "!"; }, "file differs from --expect: top.bin"},
        {"earlier module's file", [](auto& f) { f["top.bin"] = "from a"; },
         "file differs from --expect: top.bin"},
        {"missing", [](auto& f) { f.erase(kWireName); }, "file missing: " + kWireName},
        {"extra", [](auto& f) { f["sub\\extra.bin"] = "x"; }, "file not in --expect: sub\\extra.bin"},
        {"state D module", [](auto& f) { f["never.bin"] = "never"; }, "file not in --expect: never.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        auto files = Download();
        c.change(files);
        Lay(folder.path(), files);
        const auto outcome = load::VerifyDownload(v, folder.path(), 12, 3);
        EXPECT_EQ(outcome.status ? "" : outcome.status.error().message(), c.why);
        EXPECT_EQ(outcome.verified, c.why.empty() ? load::kVerifiedExpect : 0);
    }
}

// Tests the check against the package's manifest: its file list, sizes and SHA-256 without a key, and
// its signature as well with one.
TEST(LoadVerifyTest, DownloadAgainstItsManifest) {
    const TestSigner signer(1), stranger(2);
    using package_manifest::kManifestName;
    using package_manifest::kSignatureName;
    struct Case {
        const char* what;
        bool withKey;
        std::function<void(std::map<std::string, std::string>&)> change; // after the manifest is made
        std::string why;
        uint8_t verified;
    };
    const std::string manifest = ManifestOf(Download());
    const Case cases[] = {
        {"listed files", false, [](auto&) {}, "", load::kVerifiedManifest},
        {"signed", true, [](auto&) {}, "", load::kVerifiedManifest | load::kVerifiedSignature},
        {"changed file", false, [](auto& f) { f["top.bin"][0] = 'F'; }, "file changed: top.bin", 0},
        {"changed file, signed", true, [](auto& f) { f["top.bin"][0] = 'F'; }, "file changed: top.bin", 0},
        {"missing file", false, [](auto& f) { f.erase("top.bin"); }, "file missing: top.bin", 0},
        {"file not listed", false, [](auto& f) { f["z.bin"] = "z"; }, "file not listed: z.bin", 0},
        {"no signature", true, [](auto& f) { f.erase(std::string(kSignatureName)); },
         "no signature: orvane.manifest.minisig", 0},
        {"signed by a stranger", true,
         [&](auto& f) { f[std::string(kSignatureName)] = stranger.Sign(manifest); },
         "signed by an untrusted key: orvane.manifest.minisig", 0},
        {"another version", false,
         [](auto& f) { f[std::string(kManifestName)] = ManifestOf(Download(), "000185", 4); },
         "manifest of another version", 0},
        {"another package", false,
         [](auto& f) { f[std::string(kManifestName)] = ManifestOf(Download(), "000999"); },
         "manifest of another package: 000999", 0},
        {"not a manifest", false, [](auto& f) { f[std::string(kManifestName)] = "hello\n"; },
         "malformed manifest: orvane.manifest", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto files = Download();
        files[std::string(kManifestName)] = manifest;
        files[std::string(kSignatureName)] = signer.Sign(manifest);
        c.change(files);
        TempFolder folder;
        Lay(folder.path(), files);
        load::Verification v;
        v.packageNo = "000185";
        if (c.withKey)
            v.keys = {signer.key};
        const auto outcome = load::VerifyDownload(v, folder.path(), 12, 3);
        EXPECT_EQ(outcome.status ? "" : outcome.status.error().message(), c.why);
        EXPECT_EQ(outcome.verified, c.verified);
    }
    // Without a manifest and without a key there is nothing to check it against: it passes unverified.
    TempFolder plain;
    Lay(plain.path(), Download());
    load::Verification none;
    none.packageNo = "000185";
    const auto outcome = load::VerifyDownload(none, plain.path(), 12, 3);
    EXPECT_TRUE(outcome.status);
    EXPECT_EQ(outcome.verified, 0);
}
