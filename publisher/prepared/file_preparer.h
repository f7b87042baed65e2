// Prepares the download messages of one package file: hashes the file, takes its cache file when there
// is a good one, compresses the messages otherwise and writes the cache file. Runs on a preparation
// worker; everything it touches is its own except the files on disk.
#pragma once

#include "core/result.h"
#include "publisher/prepared/dense_compress.h"
#include "publisher/prepared/message_cache.h"
#include "publisher/package/package.h"
#include "publisher/prepared/prepared_file.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace publisher {

// One file of a package: the module's files[index].
struct FileJob {
    const PackageModule* module = nullptr;
    size_t index = 0;
    const PackageFile& file() const { return module->files[index]; }
};

struct PreparedOutcome {
    enum class Kind {
        Reused,     // a cache file held the messages, and they decode to the file's
        Compressed, // compressed now, and written to the cache folder when `write` was asked for
        Changed,    // the file changed while it was prepared (or too recently to trust its stamp)
        Unreadable, // the file could not be read; it fails the same way when it is served
        Refused,    // its messages could not be compressed into packets
        Unwritable, // compressed, but the cache file could not be written (`note` says why)
        Cancelled,
    } kind = Kind::Cancelled;
    std::shared_ptr<const CachedFile> entry; // Reused, Compressed, Unwritable
    std::string cacheName;                   // for the file's key, once its content was hashed
    uint64_t cacheBytes = 0;                 // the cache file's size (Reused, Compressed)
    std::string ignored;                     // why a cache file under cacheName was not taken
    std::string note;
};

// The content hash and stamp of a file, read through once; a failure when it cannot be read, changes
// while it is read, or `cancel` is set (kCancelled).
Result<Digest> HashFile(const PackageFile& file, FileStamp& stamp, const std::atomic<bool>& cancel);
// The layout a job's messages are made from, for its content hash.
PreparedLayout LayoutOf(const FileJob& job, const Digest& content);
// Largest cache file a file of `size` bytes can have: each message at its largest packet.
uint64_t MaxCacheFileBytes(uint64_t size);

// `write`: store newly compressed messages in `cacheDir`. `settle`: how long ago the file must have
// changed for its stamp to be trusted (see MessageCache).
PreparedOutcome PrepareFile(const Package& package, const FileJob& job, const std::filesystem::path& cacheDir,
                            bool write, std::chrono::nanoseconds settle, DenseWork& work,
                            const std::atomic<bool>& cancel);

} // namespace publisher
