// --write-manifest: writes the manifest of a package folder into the folder of its first module with
// files, replacing the old one whole; a signature beside it that no longer matches is removed.
#pragma once

#include "core/result.h"

#include <string>

namespace publisher {

// Prints what it did on standard output. A failure is kIo when the manifest could not be written, kInvalid
// when the package could not be listed.
Status WriteManifest(const std::string& packageDir);

} // namespace publisher
