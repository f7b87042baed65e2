// The signed package check: the signing tool's formats, the manifest's text, and the comparison of a
// download with its manifest.
#include "service/package_check.h"
#include "signing_test_keys.h"

#include <gtest/gtest.h>

namespace {

using package_check::Check;
using package_manifest::FileEntry;
using package_manifest::Manifest;

std::span<const uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Made once with the signing tool itself (the sample key), prehashed and legacy.
constexpr std::string_view kSampleKey = "RWQLNVWrVEJTx4Ap+BSnPdWHnzl6blFUV+EMkYSOz5MHf7pf2uAxNBu8";
constexpr std::string_view kVectorMessage = "orvane test vector\n";
constexpr std::string_view kVectorPrehashed =
    "untrusted comment: signature from minisign secret key\n"
    "RUQLNVWrVEJTx5RWN/6Fpm6UxTjZjZ2NbRB19PeE5Gl3HVwiFFY5UMJc3+KCZNoKwU5Xi8VShgLnhB4MRgTTeXXUB/Icl8wbeg0=\n"
    "trusted comment: vector\n"
    "MPwbWk0b7eoqLcOqrgqiWNzn3zmesf1PobvoZabN9hn9BzTvAzlcFL3EB2wva8WtlsoNMckI7Qpo/HMmTpYOAA==\n";
constexpr std::string_view kVectorLegacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWQLNVWrVEJTx6dGFx2CMByCC7ZmZlTX3CQ4GoqT6SnKzx/HoX2EUS6Rx1DEIGIPIeukQCqHSwZQkOjsD1pR8CHKNGwBOkh1nAc=\n"
    "trusted comment: legacy\n"
    "m2dxAXD9HjA8HZw/FnjnQ7vOkLyAuejjH4QilLy01FgAyt7HIZEwnhrj8GUntnAujfuN4vdxk91GG4zvuuA/CQ==\n";

// Tests that signatures made by the signing tool verify, and that any change to the message, the
// signature or the trusted comment does not.
TEST(MinisignCheck, ToolSignaturesVerifyAndChangesDoNot) {
    const auto key = minisign::ParsePublicKey(kSampleKey);
    ASSERT_TRUE(key);
    const std::vector<minisign::PublicKey> keys{*key};
    for (std::string_view text : {kVectorPrehashed, kVectorLegacy}) {
        auto sig = minisign::ParseSignature(text);
        ASSERT_TRUE(sig);
        EXPECT_EQ(minisign::Verify(Bytes(kVectorMessage), *sig, keys), minisign::Verdict::kValid);
        EXPECT_EQ(minisign::Verify(Bytes("orvane test vector!\n"), *sig, keys),
                  minisign::Verdict::kBadSignature);
        auto comment = *sig;
        comment.trustedComment += "x";
        EXPECT_EQ(minisign::Verify(Bytes(kVectorMessage), comment, keys), minisign::Verdict::kBadSignature);
        auto flipped = *sig;
        flipped.signature[5] ^= 1;
        EXPECT_EQ(minisign::Verify(Bytes(kVectorMessage), flipped, keys), minisign::Verdict::kBadSignature);
    }
    EXPECT_TRUE(minisign::ParseSignature(kVectorPrehashed)->prehashed);
    EXPECT_FALSE(minisign::ParseSignature(kVectorLegacy)->prehashed);
    // The key file's text (comment line and key) reads as the bare key does.
    auto fromFile = minisign::ParsePublicKey("untrusted comment: sample\n" + std::string(kSampleKey) + "\n");
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(fromFile->key, key->key);
}

// Tests that malformed keys and signature files are refused rather than half read.
TEST(MinisignCheck, MalformedTextsAreRefused) {
    EXPECT_FALSE(minisign::ParsePublicKey(""));
    EXPECT_FALSE(minisign::ParsePublicKey(kSampleKey.substr(0, 55)));
    EXPECT_FALSE(minisign::ParsePublicKey(std::string(kSampleKey) + "A"));
    EXPECT_FALSE(minisign::ParsePublicKey(" " + std::string(kSampleKey)));
    EXPECT_FALSE(minisign::ParsePublicKeyList(std::string(kSampleKey) + ","));
    EXPECT_FALSE(minisign::ParsePublicKeyList(std::string(kSampleKey) + ",RWQ"));
    EXPECT_EQ(minisign::ParsePublicKeyList(std::string(kSampleKey) + ", " + std::string(kSampleKey))->size(),
              2u);
    std::string text(kVectorPrehashed);
    for (size_t cut = 0; cut < text.size() - 1; cut += 7)
        EXPECT_FALSE(minisign::ParseSignature(text.substr(0, cut))) << "cut at " << cut;
    EXPECT_FALSE(minisign::ParseSignature(text + "extra line\n"));
    std::string noUntrusted = text;
    noUntrusted[0] = 'U';
    EXPECT_FALSE(minisign::ParseSignature(noUntrusted));
    EXPECT_TRUE(minisign::ParseSignature(text + "\n")); // a blank last line, as editors add
}

Manifest SampleManifest() {
    Manifest m;
    m.packageNo = "000185";
    m.verPart3 = 12;
    m.verPart4 = 3;
    m.files.push_back({"TalvikTradeSafe.exe", 5, package_manifest::HashBytes("hello", 5)});
    m.files.push_back({"server\\depend.zip", 0, package_manifest::HashBytes("", 0)});
    m.files.push_back({"config\\a b.ini", 3, package_manifest::HashBytes("a=1", 3)});
    return m;
}

// Tests that the manifest text is deterministic (sorted whatever the input order), reads back to the
// same list, and has the documented form.
TEST(PackageManifest, FormatIsDeterministicAndReadsBack) {
    Manifest m = SampleManifest();
    const auto text = package_manifest::Format(m);
    ASSERT_TRUE(text);
    std::reverse(m.files.begin(), m.files.end());
    EXPECT_EQ(package_manifest::Format(m), text);
    EXPECT_EQ(text->rfind("orvane package manifest 1\npackage 000185\nversion 8.5.12.3\nfile 5 ", 0), 0u);
    EXPECT_NE(text->find("file 5 2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824 "
                         "TalvikTradeSafe.exe\n"),
              std::string::npos);
    const auto back = package_manifest::Read(*text);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->files.size(), 3u);
    EXPECT_EQ(back->files[1].path, "config\\a b.ini");
    EXPECT_EQ(back->files[1].sha256, package_manifest::HashBytes("a=1", 3));
    // Paths that could never be downloaded, or that are listed twice, are not written.
    for (const char* bad : {"..\\x", "a\\\\b", "C:\\x", "a/b", "orvane.manifest", "nul.txt", ""}) {
        Manifest withBad = SampleManifest();
        withBad.files.push_back({bad, 1, {}});
        EXPECT_FALSE(package_manifest::Format(withBad)) << bad;
    }
    Manifest twice = SampleManifest();
    twice.files.push_back(twice.files[0]);
    EXPECT_FALSE(package_manifest::Format(twice));
}

// Tests that the parser accepts only what the writer writes.
TEST(PackageManifest, ParserRefusesAnyOtherText) {
    const std::string text = *package_manifest::Format(SampleManifest());
    const std::vector<std::pair<std::string, std::string>> edits = {
        {"version 8.5.12.3", "version 8.5.12"},
        {"version 8.5.12.3", "version 8.5.012.3"},
        {"version 8.5.12.3", "version 8.6.12.3"},
        {"package 000185", "package "},
        {"file 5 ", "file 05 "},
        {"file 5 ", "file -5 "},
        {"2cf24dba", "2CF24DBA"},
        {"2cf24dba", "2cf24db"},
        {"\nfile 0", "\r\nfile 0"},
        {"orvane package manifest 1", "orvane package manifest 2"},
        {"TalvikTradeSafe.exe", "..\\TalvikTradeSafe.exe"},
    };
    for (const auto& [from, to] : edits) {
        std::string edited = text;
        edited.replace(edited.find(from), from.size(), to);
        EXPECT_FALSE(package_manifest::Read(edited)) << to;
    }
    EXPECT_FALSE(package_manifest::Read(text.substr(0, text.size() - 1))); // no final LF
    const auto shortOne = package_manifest::Read("orvane package manifest 1\npackage 1\n");
    ASSERT_FALSE(shortOne);
    EXPECT_NE(shortOne.error().message().find("line"), std::string::npos);
    // Out of order: swap the two last file lines.
    const size_t a = text.find("file 3"), b = text.find("file 0");
    std::string swapped = text.substr(0, a) + text.substr(b) + text.substr(a, b - a);
    EXPECT_FALSE(package_manifest::Read(swapped));
    // Sizes up to 2^64 - 1 read, one more does not.
    std::string big = text;
    big.replace(big.find("file 5 "), 7, "file 18446744073709551615 ");
    EXPECT_TRUE(package_manifest::Read(big));
    big.replace(big.find("18446744073709551615"), 20, "18446744073709551616");
    EXPECT_FALSE(package_manifest::Read(big));
}

// Tests that update.ini's version reads back whatever way "%d" wrote its parts.
TEST(PackageManifest, InstalledVersionReadsSignedParts) {
    EXPECT_EQ(package_manifest::ParseInstalledVersion("8.5.12.3"), std::make_pair(12u, 3u));
    EXPECT_EQ(package_manifest::ParseInstalledVersion("8.5.-1.0"), std::make_pair(0xFFFFFFFFu, 0u));
    EXPECT_EQ(package_manifest::ParseInstalledVersion("8.5.-2147483648.7"), std::make_pair(0x80000000u, 7u));
    EXPECT_FALSE(package_manifest::ParseInstalledVersion("8.5.-2147483649.7"));
    EXPECT_FALSE(package_manifest::ParseInstalledVersion("8.5.1"));
    EXPECT_FALSE(package_manifest::ParseInstalledVersion("8.5.1.2 "));
    EXPECT_FALSE(package_manifest::ParseInstalledVersion(""));
}

class PackageCheckTest : public ::testing::Test {
  protected:
    TestSigner signer{1};
    TestSigner other{2};
    Manifest manifest = SampleManifest();
    std::string text = *package_manifest::Format(manifest);
    std::string signature = signer.Sign(text);
    std::vector<FileEntry> files = manifest.files;
    package_check::Expectation expected{"000185", 12, 3, std::make_pair(12u, 2u)};

    package_check::CheckResult Run(std::vector<minisign::PublicKey> keys) {
        return package_check::CheckPackage(keys, text, signature, expected, files);
    }
    package_check::CheckResult Run() { return Run({other.key, signer.key}); }
};

// Tests that the signed download passes, with the manifest's own files among the downloaded ones, and
// with a second trusted key (a key roll-over) in either place.
TEST_F(PackageCheckTest, SignedDownloadPasses) {
    files.push_back({"orvane.manifest", text.size(), {}});
    files.push_back({"orvane.manifest.minisig", signature.size(), {}});
    EXPECT_EQ(Run().check, Check::kPassed);
    EXPECT_EQ(Run({signer.key}).check, Check::kPassed);
    // The tool's default trusted comment holds tabs.
    signature = signer.Sign(text, true, "timestamp:1796860546\tfile:orvane.manifest\thashed");
    EXPECT_EQ(Run().check, Check::kPassed);
    expected.installed = std::make_pair(12u, 3u); // the same version again: a repair
    EXPECT_EQ(Run().check, Check::kPassed);
    expected.installed.reset();
    EXPECT_EQ(Run().check, Check::kPassed);
}

// Tests that every kind of change between signing and installing is refused, naming the check and the
// file.
TEST_F(PackageCheckTest, EveryChangeIsRefused) {
    auto changed = files;
    changed[2].sha256[0] ^= 1;
    EXPECT_EQ(package_check::CheckPackage(std::vector{signer.key}, text, signature, expected, changed).check,
              Check::kFileChanged);
    auto r = package_check::CheckPackage(std::vector{signer.key}, text, signature, expected, changed);
    EXPECT_EQ(r.file, "config\\a b.ini");
    changed = files;
    changed[0].size += 1;
    EXPECT_EQ(package_check::CheckPackage(std::vector{signer.key}, text, signature, expected, changed).file,
              "TalvikTradeSafe.exe");

    auto added = files;
    added.push_back({"zz.dll", 1, {}});
    r = package_check::CheckPackage(std::vector{signer.key}, text, signature, expected, added);
    EXPECT_EQ(r.check, Check::kFileNotListed);
    EXPECT_EQ(r.file, "zz.dll");
    added.back().path = "a.dll"; // before every listed file
    EXPECT_EQ(package_check::CheckPackage(std::vector{signer.key}, text, signature, expected, added).check,
              Check::kFileNotListed);

    auto removed = files;
    removed.erase(removed.begin() + 1);
    r = package_check::CheckPackage(std::vector{signer.key}, text, signature, expected, removed);
    EXPECT_EQ(r.check, Check::kFileMissing);
    EXPECT_EQ(r.file, "server\\depend.zip");
    removed = files;
    removed.pop_back(); // the last by path
    removed.erase(removed.begin());
    EXPECT_EQ(package_check::CheckPackage(std::vector{signer.key}, text, signature, expected, removed).check,
              Check::kFileMissing);
}

TEST_F(PackageCheckTest, SignatureAndManifestFaultsAreRefused) {
    EXPECT_EQ(
        package_check::CheckPackage(std::vector{signer.key}, std::nullopt, signature, expected, files).check,
        Check::kNoManifest);
    EXPECT_EQ(package_check::CheckPackage(std::vector{signer.key}, text, std::nullopt, expected, files).check,
              Check::kNoSignature);
    EXPECT_EQ(Run({other.key}).check, Check::kUntrustedKey);
    const std::string good = signature;
    signature = good.substr(0, good.size() - 10); // truncated
    EXPECT_EQ(Run().check, Check::kBadSignature);
    signature = other.Sign(text);
    EXPECT_EQ(Run({signer.key}).check, Check::kUntrustedKey);
    signature = good;
    text[text.size() - 2] ^= 1; // the manifest changed after signing
    EXPECT_EQ(Run().check, Check::kBadSignature);
    // Signed, but no manifest: the signature alone proves nothing about the files.
    text = "not a manifest\n";
    signature = signer.Sign(text);
    EXPECT_EQ(Run().check, Check::kBadManifest);
}

TEST_F(PackageCheckTest, PackageAndVersionMustBeTheOnesExpected) {
    expected.packageNo = "000186";
    EXPECT_EQ(Run().check, Check::kOtherPackage);
    expected.packageNo = "000185";
    expected.verPart4 = 4;
    EXPECT_EQ(Run().check, Check::kOtherVersion);
    expected.verPart4 = 3;
    expected.installed = std::make_pair(12u, 4u);
    EXPECT_EQ(Run().check, Check::kOlderVersion);
    expected.installed = std::make_pair(13u, 0u);
    EXPECT_EQ(Run().check, Check::kOlderVersion);
    expected.installed = std::make_pair(11u, 99u);
    EXPECT_EQ(Run().check, Check::kPassed);
}

} // namespace
