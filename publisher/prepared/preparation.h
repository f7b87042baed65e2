// Prepares every file of a package on background threads: its download messages in LZO1X-999 from the
// cache folder or compressed anew (see file_preparer.h), handed to PreparedFiles as each file is done.
// Until a file is prepared, downloads send it as before.
//
// Threads: the constructor starts the workers; the destructor cancels them (each stops within one
// message) and joins them, so a reload waits only for that. `report` is called on the constructing
// thread and on the workers, possibly several at once, with no lock held, for each line worth logging;
// the owner forwards it to its log's thread.
#pragma once

#include "publisher/prepared/file_preparer.h"
#include "publisher/prepared/message_cache.h"
#include "publisher/package/package.h"
#include "publisher/prepared/prepared_files.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace publisher {

struct PreparationSettings {
    std::filesystem::path cacheDir;
    unsigned threads = 1;
    // What the cache folder may hold; empty: the package's size plus a quarter, a bound on its
    // compressed size with room for files of the version before it until they are removed.
    std::optional<uint64_t> maxBytes;
    // Free space the folder's file system keeps for others; empty: FreeSpaceReserve().
    std::optional<uint64_t> reserveBytes;
    std::chrono::nanoseconds settle = MessageCache::kSettle;
};

// What --check-config reports: the files whose cache file is well-formed and made for the file as it
// is now (by content hash and layout), read without preparing anything.
struct PreparedOnDisk {
    size_t prepared = 0;
    size_t total = 0;
    size_t files = 0;   // our cache files in the folder
    uint64_t bytes = 0; // and their bytes
};
PreparedOnDisk InspectCacheFolder(const Package& package, const std::filesystem::path& cacheDir);

// Worker threads by default: every core but one, which stays with the serving.
unsigned DefaultPreparationThreads();

class Preparation {
  public:
    using Report = std::function<void(const std::string& line)>;
    // Fills `files`, which the serving side may already be reading.
    Preparation(std::shared_ptr<PreparedFiles> files, PreparationSettings settings, Report report);
    ~Preparation();
    Preparation(const Preparation&) = delete;
    Preparation& operator=(const Preparation&) = delete;

    const std::shared_ptr<PreparedFiles>& Files() const { return files_; }
    size_t Total() const { return jobs_.size(); }
    // Blocks until every worker has ended (tests and --check-config like tools).
    void Wait();

  private:
    void Work();
    // Whether the cache file of `file` may be written: the limit was not reached and the free-space
    // reserve stays free.
    bool MayWrite(const PackageFile& file);
    // Counts a cache file written into the folder's bytes; one past the limit is removed again and
    // ends the writing.
    void NoteWritten(const PreparedOutcome& outcome);
    bool WaitSettled(const PackageFile& file);
    void Count(const FileJob& job, PreparedOutcome& outcome, size_t slot);
    void Finish();

    std::shared_ptr<PreparedFiles> files_;
    PreparationSettings settings_;
    Report report_;
    std::vector<FileJob> jobs_;
    std::vector<std::string> names_; // cache file of each job, written by the worker that took it
    std::chrono::steady_clock::time_point started_;

    std::atomic<size_t> next_{0};
    std::atomic<bool> cancel_{false};
    std::atomic<bool> unwritable_{false};
    std::atomic<unsigned> running_{0};
    std::atomic<size_t> carried_{0}, reused_{0}, compressed_{0}, kept_{0}, failed_{0}, processed_{0};
    std::atomic<uint64_t> compressedBytes_{0};
    uint64_t maxBytes_ = 0;
    uint64_t reserveBytes_ = 0;
    std::atomic<uint64_t> folderBytes_{0}; // our cache files in the folder, as far as this run knows
    std::atomic<bool> full_{false};        // no more cache files are written
    std::atomic<size_t> memoryOnly_{0};    // files prepared but kept in memory only
    std::mutex mutex_;                     // for the cancellable waits only
    std::condition_variable wake_;
    bool done_ = false; // under mutex_
    std::vector<std::thread> threads_;
};

} // namespace publisher
