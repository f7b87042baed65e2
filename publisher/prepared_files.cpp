#include "publisher/prepared_files.h"

#include "publisher/package_folder.h"

namespace publisher {

PreparedFiles::PreparedFiles(std::shared_ptr<const Package> package, const PreparedFiles* previous)
    : package_(std::move(package)) {
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
            if (auto it = old.find(f.shareKey); it != old.end() && it->second->stamp == f.stamp) {
                bytes_ += it->second->bytes;
                entries_.emplace(&f, it->second);
            }
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
