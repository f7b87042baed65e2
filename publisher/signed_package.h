// The publisher's side of signed packages: writes the manifest of a package folder (--write-manifest),
// and, when package.json names trusted keys, refuses a package whose signature or files do not match
// it, so that the service never offers what installers would refuse. Loading thread only.
#pragma once

#include "publisher/package.h"

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <optional>
#include <string>

namespace publisher {

// package.json's "signing": {"publicKeys": ["RWQ...", ...]}: at most kMaxSigningKeys keys. Empty, or
// what is wrong with it.
constexpr size_t kMaxSigningKeys = 4;
std::string ReadSigningKeys(const nlohmann::json& signing, std::vector<minisign::PublicKey>& keys);

// The manifest text for the package as it is on disk now (every file of every module that installers
// download hashed), or empty with *error saying why.
std::optional<std::string> PackageManifestText(const Package& package, std::string* error);

// Without trusted keys, "". With them, "" when the manifest is signed by one of them and lists exactly
// the package's files; otherwise the first thing that differs. Hashing gives up once `stop` is set (a
// stopping service), with an error.
std::string CheckSignedPackage(const Package& package, const std::atomic<bool>* stop = nullptr);

// --write-manifest: writes the manifest into the folder of the first module with files; a signature
// beside it that no longer matches is removed. Prints what it did; returns the exit status.
int WriteManifestCommand(const std::string& packageDir);

} // namespace publisher
