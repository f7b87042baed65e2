#include "publisher/prepared/prepared_files.h"

#include "publisher/package/package_folder.h"
#include "publisher/prepared/prepared_file.h"
#include "publisher/ops/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace publisher {

namespace {

// The entry's messages as they lie in its cache file, or null when the file is not the one the entry
// was made from or written to (by its size: the layout of prepared_file.h).
std::shared_ptr<const DiskMessages> LeaveOnDisk(const CachedFile& entry, const std::filesystem::path& dir) {
    if (entry.cacheName.empty() || dir.empty() || entry.messages.empty())
        return nullptr;
    auto disk = std::make_shared<DiskMessages>();
    disk->path = dir / entry.cacheName;
    uint64_t at = kPreparedHeaderSize + 4 * uint64_t(entry.messages.size());
    for (const auto& m : entry.messages) {
        disk->offsets.push_back(at);
        at += m.size();
    }
    disk->offsets.push_back(at);
    struct stat st {};
    const bool ok = [&] {
        const UniqueFd fd(::open(disk->path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        return fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
               uint64_t(st.st_size) == at + kPreparedChecksumSize;
    }();
    if (!ok)
        return nullptr;
    disk->stamp = StampFrom(st);
    return disk;
}

} // namespace

PreparedFiles::PreparedFiles(std::shared_ptr<const Package> package, const PreparedFiles* previous,
                             uint64_t memoryBytes, std::filesystem::path cacheDir)
    : package_(std::move(package)), memoryBytes_(memoryBytes), cacheDir_(std::move(cacheDir)) {
    if (!previous)
        return;
    std::unordered_map<std::string_view, std::shared_ptr<const CachedFile>> old;
    {
        std::lock_guard lock(previous->mutex_);
        for (const auto& [file, entry] : previous->entries_)
            old.emplace(file->shareKey, entry);
    }
    for (const auto& m : package_->modules)
        for (const auto& f : m.files)
            if (auto it = old.find(f.shareKey); it != old.end() && it->second->stamp == f.stamp)
                Put(&f, it->second);
}

std::shared_ptr<const CachedFile> PreparedFiles::Held(const PackageFile* file) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(file);
    return it == entries_.end() ? nullptr : it->second;
}

std::shared_ptr<const CachedFile> PreparedFiles::Find(const PackageFile* file) {
    std::shared_ptr<const CachedFile> entry;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(file);
        if (it == entries_.end())
            return nullptr;
        entry = it->second;
    }
    auto now = StampOf(*file);
    if (now && *now == entry->stamp && entry->stamp == file->stamp)
        return entry;
    // Changed on disk: it stays changed for this package, so the memory goes now.
    std::lock_guard lock(mutex_);
    auto it = entries_.find(file);
    if (it != entries_.end() && it->second == entry) {
        bytes_ -= entry->disk ? 0 : entry->bytes;
        onDisk_ -= entry->disk ? 1 : 0;
        entries_.erase(it);
    }
    return nullptr;
}

void PreparedFiles::Put(const PackageFile* file, std::shared_ptr<const CachedFile> entry) {
    {
        std::lock_guard lock(mutex_);
        auto& slot = entries_[file];
        if (slot) {
            bytes_ -= slot->disk ? 0 : slot->bytes;
            onDisk_ -= slot->disk ? 1 : 0;
            slot.reset();
        }
        if (entry->disk || bytes_ + entry->bytes <= memoryBytes_) {
            bytes_ += entry->disk ? 0 : entry->bytes;
            onDisk_ += entry->disk ? 1 : 0;
            slot = std::move(entry);
            return;
        }
        entries_.erase(file);
    }
    // Beyond the cap: the messages stay in their cache file; looked at without the lock.
    auto disk = std::make_shared<CachedFile>();
    disk->stamp = entry->stamp;
    disk->fileBytes = entry->fileBytes;
    disk->bytes = entry->bytes;
    disk->cacheName = entry->cacheName;
    disk->disk = LeaveOnDisk(*entry, cacheDir_);
    entry.reset();
    if (!disk->disk)
        return;
    std::lock_guard lock(mutex_);
    auto& slot = entries_[file];
    if (slot) {
        bytes_ -= slot->disk ? 0 : slot->bytes;
        onDisk_ -= slot->disk ? 1 : 0;
    }
    ++onDisk_;
    slot = std::move(disk);
}

size_t PreparedFiles::Files() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

size_t PreparedFiles::OnDisk() const {
    std::lock_guard lock(mutex_);
    return onDisk_;
}

uint64_t PreparedFiles::Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

} // namespace publisher
