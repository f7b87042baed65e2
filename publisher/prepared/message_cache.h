// Compressed download messages of package files, kept after a file has been sent once so that later
// downloads skip reading and compressing it: a kept message only needs enciphering under the session's
// key. A download message never spans two files (see ChunkStream), so a file's messages are the same in
// every download. An entry serves only while the file still has the stamp it had while it was read; a
// changed file is read again and its entry replaced. A file changed within the last moments is not kept:
// a write in the same clock tick as the reading would leave the stamp as it was.
//
// One cache serves every load of the package (see PackageFile::shareKey), so a reload keeps the kept
// messages of unchanged files instead of starting a second copy.
//
// Memory is bounded: a session reserves room before it records a file and the entries plus the
// reservations never exceed the capacity. Entries are shared, so one being replayed outlives its
// replacement.
//
// Thread-safe: the download sessions of every serving thread share one cache. No lock is held while a
// file's stamp is read from disk.
#pragma once

#include "publisher/package/file_stamp.h"
#include "publisher/package/package.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace publisher {

// Prepared messages left in their cache file, read one at a time when sent. The file is used only while
// it has the stamp it had when it was checked; anything else is served as if nothing were prepared.
struct DiskMessages {
    std::filesystem::path path;
    FileStamp stamp;
    std::vector<uint64_t> offsets; // of each message in the file, and the end of the last
};

struct CachedFile {
    FileStamp stamp;
    uint64_t fileBytes = 0;                     // data bytes the messages carry
    uint64_t bytes = 0;                         // the messages' bytes together
    std::vector<std::vector<uint8_t>> messages; // LZO1X forms, in sending order; empty only with `disk`
    std::string cacheName;                      // prepared messages: their cache file's name
    std::shared_ptr<const DiskMessages> disk;   // set: the messages are there, not in memory

    size_t MessageCount() const { return disk ? disk->offsets.size() - 1 : messages.size(); }
};

class MessageCache {
  public:
    static constexpr std::chrono::seconds kSettle{2};
    // `settle`: how long ago a file must have been modified or changed to be kept.
    explicit MessageCache(uint64_t capacity, std::chrono::nanoseconds settle = kSettle)
        : capacity_(capacity), settle_(settle) {}
    MessageCache(const MessageCache&) = delete;
    MessageCache& operator=(const MessageCache&) = delete;

    // The entry for `file` if it was recorded at stamp `now`; a stale entry is dropped.
    std::shared_ptr<const CachedFile> Find(const PackageFile* file, const FileStamp& now);
    // The same with the file's stamp as it is on disk now, looked at only when there is an entry.
    std::shared_ptr<const CachedFile> Find(const PackageFile* file);
    // Whether messages this large are worth keeping for the file bytes they carry: data that does not
    // compress costs little to compress again and would take more memory than the file itself.
    static bool Compresses(const CachedFile& entry) { return entry.bytes <= entry.fileBytes / 10 * 9; }

    // Sets aside `bytes` for a recording; false when they would not fit.
    bool Reserve(uint64_t bytes);
    void Release(uint64_t bytes);
    // Turns a reservation into an entry (replacing one for the same file). The entry is dropped when it
    // is larger than what was reserved for it, does not compress, or its file changed too recently.
    void Store(const PackageFile* file, CachedFile entry, uint64_t reserved);

    // Drops the entries of files `package` does not serve (by their PackageFile::shareKey), after a
    // reload: the files both serve stay kept, once.
    void Retain(const Package& package);

    uint64_t Used() const;
    uint64_t Reserved() const;
    size_t Entries() const;

  private:
    std::shared_ptr<const CachedFile> FindLocked(const PackageFile* file, const FileStamp& now);
    void DropLocked(const std::string& key);
    void ReleaseLocked(uint64_t bytes);

    uint64_t capacity_;
    std::chrono::nanoseconds settle_;
    mutable std::mutex mutex_; // guards what follows
    uint64_t used_ = 0;
    uint64_t reserved_ = 0;
    std::unordered_map<std::string, std::shared_ptr<const CachedFile>> entries_; // by PackageFile::shareKey
};

// Room to reserve for recording a file of `size` bytes: every message at its worst-case compressed size.
uint64_t RecordingRoom(uint64_t size);

} // namespace publisher
