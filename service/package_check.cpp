#include "service/package_check.h"

#include <algorithm>
#include <vector>

namespace package_check {
namespace {

using package_manifest::FileEntry;

CheckResult Refuse(Check check, std::string file = {}) {
    return CheckResult{check, std::move(file)};
}

bool Older(uint32_t p3, uint32_t p4, std::pair<uint32_t, uint32_t> than) {
    return p3 < than.first || (p3 == than.first && p4 < than.second);
}

} // namespace

CheckResult CheckPackage(std::span<const minisign::PublicKey> keys, std::optional<std::string_view> manifest,
                         std::optional<std::string_view> signature, const Expectation& expected,
                         std::span<const FileEntry> files) {
    using package_manifest::kManifestName;
    using package_manifest::kSignatureName;
    if (!manifest || manifest->size() > package_manifest::kMaxManifestBytes)
        return Refuse(Check::kNoManifest, std::string(kManifestName));
    if (!signature)
        return Refuse(Check::kNoSignature, std::string(kSignatureName));
    const auto sig = minisign::ParseSignature(*signature);
    if (!sig)
        return Refuse(Check::kBadSignature, std::string(kSignatureName));
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(manifest->data()), manifest->size());
    switch (minisign::Verify(bytes, *sig, keys)) {
    case minisign::Verdict::kValid:
        break;
    case minisign::Verdict::kUnknownKey:
        return Refuse(Check::kUntrustedKey, std::string(kSignatureName));
    case minisign::Verdict::kBadSignature:
        return Refuse(Check::kBadSignature, std::string(kManifestName));
    }
    // Only now is the manifest the deployer's: nothing in it was looked at before.
    const auto listed = package_manifest::Read(*manifest);
    if (!listed)
        return Refuse(Check::kBadManifest, std::string(kManifestName));
    if (listed->packageNo != expected.packageNo)
        return Refuse(Check::kOtherPackage, std::string(kManifestName));
    if (listed->verPart3 != expected.verPart3 || listed->verPart4 != expected.verPart4)
        return Refuse(Check::kOtherVersion, std::string(kManifestName));
    if (expected.installed && Older(listed->verPart3, listed->verPart4, *expected.installed))
        return Refuse(Check::kOlderVersion, std::string(kManifestName));

    std::vector<const FileEntry*> present;
    present.reserve(files.size());
    for (const FileEntry& f : files)
        if (!package_manifest::IsManifestFile(f.path))
            present.push_back(&f);
    std::sort(present.begin(), present.end(),
              [](const FileEntry* a, const FileEntry* b) { return a->path < b->path; });
    // Both lists sorted by path: one walk finds what differs, what is extra and what is missing, the
    // first by path of them named.
    auto want = listed->files.begin();
    for (const FileEntry* have : present) {
        if (want != listed->files.end() && want->path < have->path)
            return Refuse(Check::kFileMissing, want->path);
        if (want == listed->files.end() || have->path < want->path)
            return Refuse(Check::kFileNotListed, have->path);
        if (want->size != have->size || want->sha256 != have->sha256)
            return Refuse(Check::kFileChanged, have->path);
        ++want;
    }
    if (want != listed->files.end())
        return Refuse(Check::kFileMissing, want->path);
    return CheckResult{};
}

const char* CheckName(Check check) {
    switch (check) {
    case Check::kPassed:
        return "passed";
    case Check::kNoManifest:
        return "no manifest";
    case Check::kNoSignature:
        return "no signature";
    case Check::kBadSignature:
        return "bad signature";
    case Check::kUntrustedKey:
        return "signed by an untrusted key";
    case Check::kBadManifest:
        return "malformed manifest";
    case Check::kOtherPackage:
        return "manifest of another package";
    case Check::kOtherVersion:
        return "manifest of another version";
    case Check::kOlderVersion:
        return "older than the installed version";
    case Check::kFileChanged:
        return "file changed";
    case Check::kFileNotListed:
        return "file not listed";
    case Check::kFileMissing:
        return "file missing";
    }
    return "unknown";
}

} // namespace package_check
