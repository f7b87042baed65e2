// The cache folder of prepared messages on disk: where it is by default, and the few file operations
// on it. Only names of our own pattern (see prepared_file.h) are ever read, written or removed, so
// the folder may be shared with nothing else of ours and an operator's own files in it are left alone.
#pragma once

#include "core/result.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace publisher {

// Beside the package folder: /srv/pkg gives /srv/pkg.cache.
std::filesystem::path DefaultCacheDir(const std::filesystem::path& packageDir);

// Creates the folder if needed; a failure when it is no folder or cannot be made.
Status EnsureCacheFolder(const std::filesystem::path& dir);
// Reads a whole regular file of at most `maxBytes` (not following a final link). A missing file is a
// failure of kind kNotFound; an unusable one says why (without the path).
Result<std::vector<uint8_t>> ReadCacheFile(const std::filesystem::path& path, uint64_t maxBytes);
// Writes under a temporary name, flushes it to disk and renames it into place, so that a name of ours
// only ever holds a whole file. On a failure the temporary file is removed.
Status WriteCacheFile(const std::filesystem::path& dir, const std::string& name,
                      const std::vector<uint8_t>& bytes);

// Whether something other than a regular file holds `path` (a folder, a link, a device): a name the
// folder cannot give to a cache file, though the folder itself is fine.
bool IsUnusableName(const std::filesystem::path& path);
// The bytes an unprivileged writer may still use on the folder's file system.
Result<uint64_t> FreeBytes(const std::filesystem::path& dir);
// What the cache folder leaves free on its file system for everything else: a twentieth of it.
uint64_t FreeSpaceReserve(const std::filesystem::path& dir);

struct CacheFolderUse {
    size_t files = 0;
    uint64_t bytes = 0;
};
// Our cache files in the folder and their bytes together.
CacheFolderUse MeasureCacheFolder(const std::filesystem::path& dir);
// Removes our cache files not named in `keep`, and temporary files of ours left for an hour by a writer
// that died; returns how many went.
size_t RemoveStaleCacheFiles(const std::filesystem::path& dir, const std::set<std::string>& keep);

} // namespace publisher
