// Whether a downloaded (or published) package is the one the deployer signed: the signature over the
// manifest comes from a trusted key, the manifest names the package and the version expected, and the
// files are exactly the listed ones with their sizes and SHA-256 digests. Takes no paths: the caller
// reads and hashes the files. Portable and stateless; any thread.
#pragma once

#include "service/minisign_check.h"
#include "service/package_manifest.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace package_check {

enum class Check {
    kPassed,
    kNoManifest,    // the manifest is not there (or too large to be one)
    kNoSignature,   // the signature file is not there
    kBadSignature,  // the signature file is malformed, or does not match the manifest
    kUntrustedKey,  // signed by a key that is not trusted
    kBadManifest,   // signed, yet not a manifest of this format
    kOtherPackage,  // the manifest names another package number
    kOtherVersion,  // the manifest names another version than the one offered
    kOlderVersion,  // the version is older than the installed one
    kFileChanged,   // a file's size or SHA-256 differs from its entry
    kFileNotListed, // a file that the manifest does not list
    kFileMissing,   // a listed file that is not there
};

struct CheckResult {
    Check check = Check::kPassed;
    std::string file; // the file concerned, when there is one
};

// What the check expects: the package asked for, the version offered, and for an installer the
// version already installed, which the package may not be older than.
struct Expectation {
    std::string_view packageNo;
    uint32_t verPart3 = 0;
    uint32_t verPart4 = 0;
    std::optional<std::pair<uint32_t, uint32_t>> installed;
};

// `files` is every file present; the manifest and its signature among them are skipped. A missing
// manifest or signature is an empty optional.
CheckResult CheckPackage(std::span<const minisign::PublicKey> keys, std::optional<std::string_view> manifest,
                         std::optional<std::string_view> signature, const Expectation& expected,
                         std::span<const package_manifest::FileEntry> files);

// A short English name of the check, for log lines and messages.
const char* CheckName(Check check);

} // namespace package_check
