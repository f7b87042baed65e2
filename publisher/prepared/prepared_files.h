// The prepared messages of one package's files, shared by the serving threads that replay them and the
// preparation's workers that fill it. A file's entry serves only while the file on disk still has the
// stamp it had when it was hashed; a changed file is served fresh, as if it had never been prepared.
//
// Memory: every entry stays in memory for the life of the package, about the package's compressed
// size, data that does not compress included (compressing it again per download costs more CPU). A
// reload shares the entries of unchanged files with the store it replaces, so old and new package
// together hold one copy of them. Beyond the memory cap (--prepared-mib) entries stay in their cache
// files and each message is read when it is sent.
//
// Thread-safe: every method may be called from any thread. The lock guards the map only; the stamp
// on disk is looked at without it.
#pragma once

#include "publisher/prepared/message_cache.h"
#include "publisher/package/package.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace publisher {

class PreparedFiles {
  public:
    // `previous`: the store of the package loaded before, whose entries for files this package serves
    // unchanged (same PackageFile::shareKey and stamp) are shared instead of prepared again.
    // `memoryBytes`: prepared messages held in memory at most; the entries beyond it are left in their
    // cache files in `cacheDir` (see DiskMessages).
    explicit PreparedFiles(std::shared_ptr<const Package> package, const PreparedFiles* previous = nullptr,
                           uint64_t memoryBytes = UINT64_MAX, std::filesystem::path cacheDir = {});
    PreparedFiles(const PreparedFiles&) = delete;
    PreparedFiles& operator=(const PreparedFiles&) = delete;

    // The messages of `file` if they were prepared and the file is unchanged since; null otherwise.
    std::shared_ptr<const CachedFile> Find(const PackageFile* file);
    // Holds the entry in memory while the cap allows, else as its cache file (or not at all when that
    // file is not as the entry says).
    void Put(const PackageFile* file, std::shared_ptr<const CachedFile> entry);

    // Whether `file` has an entry, without looking at the disk; its entry then.
    std::shared_ptr<const CachedFile> Held(const PackageFile* file) const;

    size_t Files() const;
    uint64_t Bytes() const; // held in memory
    size_t OnDisk() const;  // entries left in their cache files
    const Package& package() const { return *package_; }

  private:
    std::shared_ptr<const Package> package_; // owns the files the map's keys point to
    mutable std::mutex mutex_;
    std::unordered_map<const PackageFile*, std::shared_ptr<const CachedFile>> entries_;
    uint64_t bytes_ = 0;
    size_t onDisk_ = 0;
    uint64_t memoryBytes_;
    std::filesystem::path cacheDir_;
};

} // namespace publisher
