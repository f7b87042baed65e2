// Reading a package's files for its manifest, the same way wherever a package is checked from disk
// (the publisher at start and reload, the load tool after each install): a file's SHA-256 and size in
// blocks, and a small file (the manifest, its signature) read whole within a limit.
#pragma once

#include "core/result.h"
#include "service/package_manifest.h"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace package_files {

// The SHA-256 and size of `path` into `entry`: kIo when it cannot be read, kCancelled once `stop` (if
// given) is set, which is looked at between 1 MiB blocks. The message leaves the path to the caller.
Status HashFile(const std::filesystem::path& path, package_manifest::FileEntry& entry,
                const std::atomic<bool>* stop = nullptr);

// The whole of a small file; empty when missing, unreadable or larger than `limit`.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t limit);

} // namespace package_files
