#include "publisher/prepared_files.h"

namespace publisher {

std::shared_ptr<const CachedFile> PreparedFiles::Find(const PackageFile* file) {
    std::shared_ptr<const CachedFile> entry;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(file);
        if (it == entries_.end())
            return nullptr;
        entry = it->second;
    }
    auto now = StampOf(file->source);
    if (now && *now == entry->stamp)
        return entry;
    // Changed on disk: it stays changed for this package, so the memory goes now.
    std::lock_guard lock(mutex_);
    auto it = entries_.find(file);
    if (it != entries_.end() && it->second == entry) {
        bytes_ -= entry->bytes;
        entries_.erase(it);
    }
    return nullptr;
}

void PreparedFiles::Put(const PackageFile* file, std::shared_ptr<const CachedFile> entry) {
    std::lock_guard lock(mutex_);
    auto& slot = entries_[file];
    if (slot)
        bytes_ -= slot->bytes;
    bytes_ += entry->bytes;
    slot = std::move(entry);
}

size_t PreparedFiles::Files() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

uint64_t PreparedFiles::Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

} // namespace publisher
