// Whether an install's download folder holds the package: the files its signed manifest lists (sizes
// and SHA-256, and with a trusted key the signature too), and, given a copy of the package folder,
// every file byte for byte at the path the publisher serves it under. Runs in a worker, after the
// download's clients are gone. Any thread.
#pragma once

#include "core/result.h"
#include "service/minisign_check.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace load {

// A package folder as installers receive it: each download path (code page 936, backslashes, as on the
// wire) and the file here that must arrive there. A later module's file replaces an earlier one's at the
// same path, as the download writes them.
struct ExpectedPackage {
    std::string packageNo;
    std::map<std::string, std::filesystem::path> files;
};

// Reads DIR/package.json (package number, modules with their state and folder) and lists the files of
// every module downloaded (state other than 'D').
Result<ExpectedPackage> LoadExpectedPackage(const std::filesystem::path& dir);

struct Verification {
    std::string packageNo;
    std::optional<ExpectedPackage> expect;
    std::vector<minisign::PublicKey> keys; // non-empty: the manifest must carry a signature by one
};

struct VerifyOutcome {
    uint8_t verified = 0; // load::Verified flags of the checks made
    Status status;        // the first difference (kSignature) or what could not be read
};

// Checks `folder`, where the download of version 8.5.verPart3.verPart4 was written.
VerifyOutcome VerifyDownload(const Verification& verification, const std::filesystem::path& folder,
                             uint32_t verPart3, uint32_t verPart4);

struct DownloadedFile {
    uint64_t size = 0;
    std::filesystem::path path; // where it lies here
};
// Every regular file below `folder` by its download path; a failure for anything else there.
Result<std::map<std::string, DownloadedFile>> ListDownload(const std::filesystem::path& folder);

} // namespace load
