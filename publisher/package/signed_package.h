// The publisher's side of signed packages: the manifest of a package folder (for --write-manifest),
// and, when package.json names trusted keys, refuses a package whose signature or files do not match
// it, so that the service never offers what installers would refuse. Loading thread only.
#pragma once

#include "core/result.h"
#include "publisher/package/package.h"

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <optional>
#include <string>

namespace publisher {

// package.json's "signing": {"publicKeys": ["RWQ...", ...]}: at most kMaxSigningKeys keys, added to
// `keys`; or what is wrong with it.
constexpr size_t kMaxSigningKeys = 4;
Status ReadSigningKeys(const nlohmann::json& signing, std::vector<minisign::PublicKey>& keys);

// Where installers find the manifest: the top of the download folder, written by the first module
// whose files are downloaded. None when no module has files.
const PackageModule* ManifestModule(const Package& package);

// The manifest text for the package as it is on disk now (every file of every module that installers
// download hashed).
Result<std::string> PackageManifestText(const Package& package);

// Without trusted keys, success. With them, success when the manifest is signed by one of them and lists
// exactly the package's files; otherwise the first thing that differs. Hashing gives up once `stop` is
// set (a stopping service), with an error.
Status CheckSignedPackage(const Package& package, const std::atomic<bool>* stop = nullptr);

} // namespace publisher
