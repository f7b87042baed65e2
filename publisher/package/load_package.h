// Reading a package folder into a Package: the manifest's every field checked, every module folder
// scanned, and, when the manifest names signing keys, the signed manifest matched against the files.
#pragma once

#include "core/result.h"
#include "publisher/package/package.h"

#include <atomic>
#include <filesystem>

namespace publisher {

// Reads `folder`/package.json and scans every module folder. Refuses anything that would not fit the
// wire records in code page 936, names Windows cannot create, module folders that are not strictly
// below the package folder, the manifest under another name, links and special files.
// With signing keys named, the package's signed manifest must match it (signed_package.h), unless
// checkSignature is false (writing the manifest). Once `stop` is set, the signature's check gives up.
// A refusal's message names the manifest file and the field.
Result<Package> LoadPackage(const std::filesystem::path& folder, bool checkSignature = true,
                            const std::atomic<bool>* stop = nullptr);

} // namespace publisher
