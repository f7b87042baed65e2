#include "publisher/prepared/preparation.h"

#include "publisher/prepared/cache_folder.h"
#include "publisher/package/package_folder.h"
#include "publisher/ops/signals_held_back.h"

#include <cstdio>
#include <set>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace publisher {
namespace {

using Kind = PreparedOutcome::Kind;

// Linux gives each thread its own nice value.
constexpr int kWorkerNice = 10;

std::string Describe(const FileJob& job) {
    return job.module->label + " " + job.file().relDir + job.file().fileName;
}

} // namespace

PreparedOnDisk InspectCacheFolder(const Package& package, const std::filesystem::path& cacheDir) {
    PreparedOnDisk out;
    const CacheFolderUse use = MeasureCacheFolder(cacheDir);
    out.files = use.files;
    out.bytes = use.bytes;
    const std::atomic<bool> never{false};
    for (const auto& module : package.modules) {
        for (size_t i = 0; i < module.files.size(); ++i) {
            ++out.total;
            const FileJob job{&module, i};
            FileStamp stamp;
            auto content = HashFile(job.file(), stamp, never);
            if (!content)
                continue;
            const Digest key = PreparedKey(LayoutOf(job, *content));
            const auto bytes = ReadCacheFile(cacheDir / PreparedFileName(key), MaxCacheFileBytes(stamp.size));
            if (bytes && ParsePreparedFile(bytes->data(), bytes->size(), key, stamp.size))
                ++out.prepared;
        }
    }
    return out;
}

unsigned DefaultPreparationThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 1 ? cores - 1 : 1;
}

Preparation::Preparation(std::shared_ptr<PreparedFiles> files, PreparationSettings settings, Report report)
    : files_(std::move(files)), settings_(std::move(settings)), report_(std::move(report)),
      started_(std::chrono::steady_clock::now()) {
    for (const auto& module : files_->package().modules)
        for (size_t i = 0; i < module.files.size(); ++i)
            jobs_.push_back({&module, i});
    names_.resize(jobs_.size());
    const Status folder = settings_.threads == 0 ? Ok() : EnsureCacheFolder(settings_.cacheDir);
    if (settings_.threads == 0 || !folder) {
        report_(settings_.threads == 0
                    ? "prepared messages: none prepared (no preparation threads); every "
                      "file is served as it is read"
                    : "prepared messages: cannot use the cache folder " + folder.error().message() +
                          "; nothing is prepared, every file is served as it is read");
        done_ = true;
        return;
    }
    const CacheFolderUse use = MeasureCacheFolder(settings_.cacheDir);
    const uint64_t packageBytes = files_->package().bytes;
    maxBytes_ = settings_.maxBytes.value_or(packageBytes + packageBytes / 4);
    reserveBytes_ = settings_.reserveBytes.value_or(FreeSpaceReserve(settings_.cacheDir));
    folderBytes_ = use.bytes;
    const unsigned threads = unsigned(std::min<size_t>(settings_.threads, std::max<size_t>(1, jobs_.size())));
    report_("prepared messages: preparing " + std::to_string(jobs_.size()) + " files on " +
            std::to_string(threads) + (threads == 1 ? " thread" : " threads") + "; cache folder " +
            settings_.cacheDir.string() + " holds " + std::to_string(use.bytes) + " bytes in " +
            std::to_string(use.files) + " files, at most " + std::to_string(maxBytes_) +
            " bytes and keeping " + std::to_string(reserveBytes_) + " bytes free");
    running_ = threads;
    const SignalsHeldBack heldBack; // the workers never take the service's signals
    for (unsigned t = 0; t < threads; ++t) {
        try {
            threads_.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            // Fewer workers than asked for; the ones running take every file.
            running_ -= threads - t;
            break;
        }
    }
    if (threads_.empty()) {
        report_(
            "prepared messages: no preparation thread could be started; every file is served as it is read");
        done_ = true;
    }
}

Preparation::~Preparation() {
    {
        std::lock_guard lock(mutex_);
        cancel_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        t.join();
}

void Preparation::Wait() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return done_; });
}

bool Preparation::WaitSettled(const PackageFile& file) {
    // A file still being written is waited for a few times, then tried as it is.
    for (int round = 0; round < 5; ++round) {
        const auto stamp = StampOf(file);
        if (!stamp)
            return true;
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const auto age = std::chrono::nanoseconds(now - std::max(stamp->modifiedNs, stamp->changedNs));
        if (age >= settings_.settle)
            return true;
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, settings_.settle - age + std::chrono::milliseconds(10),
                           [this] { return cancel_.load(); }))
            return false;
    }
    return !cancel_;
}

void Preparation::Work() {
    // Serving comes first: on a busy machine the preparation takes what the connections leave.
    ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), kWorkerNice);
    DenseWork work;
    for (;;) {
        const size_t i = next_++;
        if (i >= jobs_.size() || cancel_)
            break;
        // Shared from the package loaded before: nothing to read or compress.
        if (auto held = files_->Held(&jobs_[i].file())) {
            names_[i] = held->cacheName;
            ++carried_;
            ++kept_;
            ++processed_;
            continue;
        }
        if (unwritable_ || !WaitSettled(jobs_[i].file()))
            break;
        const bool write = MayWrite(jobs_[i].file());
        PreparedOutcome outcome = PrepareFile(files_->package(), jobs_[i], settings_.cacheDir, write,
                                              settings_.settle, work, cancel_);
        if (!write && outcome.kind == Kind::Compressed)
            ++memoryOnly_;
        NoteWritten(outcome);
        Count(jobs_[i], outcome, i);
    }
    if (--running_ == 0)
        Finish();
}

bool Preparation::MayWrite(const PackageFile& file) {
    if (full_)
        return false;
    // A cache file is about as large as its file at most; the reserve stays free after it. A file
    // whose cache file is there already is read back all the same.
    const auto free = FreeBytes(settings_.cacheDir);
    if (!free || *free >= reserveBytes_ + file.size)
        return true;
    if (!full_.exchange(true))
        report_("prepared messages: the next cache file would cut into the free-space reserve of " +
                std::to_string(reserveBytes_) + " bytes; files not prepared yet are prepared in memory only");
    return false;
}

void Preparation::NoteWritten(const PreparedOutcome& outcome) {
    if (outcome.kind != Kind::Compressed || outcome.cacheBytes == 0)
        return;
    // Only a file written tells its size: one that takes the folder past its limit goes again.
    if ((folderBytes_ += outcome.cacheBytes) <= maxBytes_)
        return;
    std::error_code ec;
    std::filesystem::remove(settings_.cacheDir / outcome.cacheName, ec);
    folderBytes_ -= outcome.cacheBytes;
    ++memoryOnly_;
    if (!full_.exchange(true))
        report_("prepared messages: the cache folder holds " + std::to_string(folderBytes_) +
                " bytes and the next file would exceed its limit of " + std::to_string(maxBytes_) +
                " bytes; files not prepared yet are prepared in memory only");
}

void Preparation::Count(const FileJob& job, PreparedOutcome& outcome, size_t slot) {
    if (outcome.kind == Kind::Cancelled)
        return;
    if (!outcome.ignored.empty())
        report_("prepared messages: ignoring the cache file " + outcome.cacheName + " of " + Describe(job) +
                ": " + outcome.ignored + "; compressing it again");
    switch (outcome.kind) {
    case Kind::Reused:
        ++reused_;
        break;
    case Kind::Unwritable:
        if (IsUnusableName(settings_.cacheDir / outcome.cacheName)) {
            // Something else holds this one name: the folder serves every other file.
            report_("prepared messages: skipping the cache file name " + outcome.cacheName + " of " +
                    Describe(job) + ": " + outcome.note + "; it is prepared in memory only");
            ++memoryOnly_;
        } else if (!unwritable_.exchange(true))
            report_("prepared messages: cannot write to the cache folder: " + outcome.note +
                    "; preparation stops, files not prepared yet are served as they are read");
        [[fallthrough]];
    case Kind::Compressed:
        ++compressed_;
        compressedBytes_ += outcome.entry->fileBytes;
        break;
    default:
        ++failed_;
        report_("prepared messages: " + outcome.note + "; " + Describe(job) + " is served as it is read");
        break;
    }
    // Every prepared file is kept, whether its data compresses or not: sending one that does not still
    // costs a read and an LZO1X-1 pass per message, a large share of the service's CPU per download.
    if (outcome.entry) {
        files_->Put(&job.file(), outcome.entry);
        ++kept_;
    }
    names_[slot] = outcome.cacheName;
    ++processed_;
}

void Preparation::Finish() {
    const bool whole = !cancel_ && processed_ == jobs_.size();
    size_t removed = 0;
    if (whole) {
        // Every file has named its cache file: the rest belong to packages no longer served.
        std::set<std::string> keep(names_.begin(), names_.end());
        removed = RemoveStaleCacheFiles(settings_.cacheDir, keep);
    }
    if (!cancel_) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        char rate[64];
        std::snprintf(rate, sizeof rate, "%.1f MB/s in %.1f s",
                      seconds > 0 ? double(compressedBytes_) / 1e6 / seconds : 0.0, seconds);
        const CacheFolderUse use = MeasureCacheFolder(settings_.cacheDir);
        report_("prepared messages: " + std::to_string(carried_ + reused_ + compressed_) + " of " +
                std::to_string(jobs_.size()) + " files prepared (" + std::to_string(reused_) +
                " from the cache folder, " + std::to_string(compressed_) +
                " compressed: " + std::to_string(compressedBytes_) + " bytes at " + rate + "), " +
                (carried_ != 0 ? std::to_string(carried_) + " shared with the package loaded before, " : "") +
                std::to_string(files_->Files() - files_->OnDisk()) + " kept in memory with " +
                std::to_string(files_->Bytes()) + " bytes" +
                (files_->OnDisk() != 0
                     ? ", " + std::to_string(files_->OnDisk()) + " read from the cache folder when sent"
                     : "") +
                "; cache folder " + settings_.cacheDir.string() + " holds " + std::to_string(use.bytes) +
                " bytes in " + std::to_string(use.files) + " files" +
                (memoryOnly_ != 0 ? ", " + std::to_string(memoryOnly_) + " files in memory only" : "") +
                (whole ? ", " + std::to_string(removed) + " stale files removed" : ""));
    }
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
}

} // namespace publisher
