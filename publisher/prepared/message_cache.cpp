#include "publisher/prepared/message_cache.h"

#include "publisher/prepared/message_layout.h"
#include "publisher/package/package_folder.h"
#include "service/messages.h"

#include <algorithm>
#include <unordered_set>

namespace publisher {

uint64_t RecordingRoom(uint64_t size) {
    // Every message at the LZO1X worst case for its length: n + n/16 + 64 + 3.
    auto worst = [](uint64_t chunks) {
        const uint64_t n = messages::kHeaderSize + chunks * messages::kDownloadRspSize;
        return n + n / 16 + 67;
    };
    const uint64_t perMessage = ChunksPerMessage();
    const uint64_t chunks =
        std::max<uint64_t>(1, (size + messages::kChunkDataMax - 1) / messages::kChunkDataMax);
    const uint64_t rest = chunks % perMessage;
    return chunks / perMessage * worst(perMessage) + (rest != 0 ? worst(rest) : 0);
}

std::shared_ptr<const CachedFile> MessageCache::Find(const PackageFile* file, const FileStamp& now) {
    std::lock_guard lock(mutex_);
    return FindLocked(file, now);
}

std::shared_ptr<const CachedFile> MessageCache::FindLocked(const PackageFile* file, const FileStamp& now) {
    auto it = entries_.find(file->shareKey);
    if (it == entries_.end())
        return nullptr;
    if (it->second->stamp == now && now == file->stamp)
        return it->second;
    DropLocked(file->shareKey);
    return nullptr;
}

std::shared_ptr<const CachedFile> MessageCache::Find(const PackageFile* file) {
    {
        std::lock_guard lock(mutex_);
        if (!entries_.contains(file->shareKey))
            return nullptr;
    }
    // The stamp is read without the lock: a stat can wait on a slow disk.
    const auto now = StampOf(*file);
    std::lock_guard lock(mutex_);
    if (now)
        return FindLocked(file, *now);
    DropLocked(file->shareKey);
    return nullptr;
}

bool MessageCache::Reserve(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    if (bytes > capacity_ || used_ + reserved_ > capacity_ - bytes)
        return false;
    reserved_ += bytes;
    return true;
}

void MessageCache::Release(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    ReleaseLocked(bytes);
}

void MessageCache::ReleaseLocked(uint64_t bytes) {
    reserved_ -= std::min(bytes, reserved_);
}

void MessageCache::Store(const PackageFile* file, CachedFile entry, uint64_t reserved) {
    const uint64_t bytes = entry.bytes;
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const int64_t changed = std::max(entry.stamp.modifiedNs, entry.stamp.changedNs);
    const bool keep =
        !entry.messages.empty() && bytes <= reserved && Compresses(entry) && now - changed >= settle_.count();
    auto kept = keep ? std::make_shared<const CachedFile>(std::move(entry)) : nullptr;
    std::shared_ptr<const CachedFile> replaced;
    std::lock_guard lock(mutex_);
    ReleaseLocked(reserved);
    if (!kept)
        return;
    if (auto it = entries_.find(file->shareKey); it != entries_.end()) {
        used_ -= it->second->bytes;
        replaced = std::move(it->second);
        it->second = std::move(kept);
    } else {
        entries_.emplace(file->shareKey, std::move(kept));
    }
    used_ += bytes;
}

void MessageCache::Retain(const Package& package) {
    std::unordered_set<std::string_view> served;
    for (const auto& m : package.modules)
        for (const auto& f : m.files)
            served.insert(f.shareKey);
    std::vector<std::shared_ptr<const CachedFile>> dropped; // freed after the lock
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (served.contains(it->first)) {
            ++it;
            continue;
        }
        used_ -= it->second->bytes;
        dropped.push_back(std::move(it->second));
        it = entries_.erase(it);
    }
}

void MessageCache::DropLocked(const std::string& key) {
    auto it = entries_.find(key);
    if (it == entries_.end())
        return;
    used_ -= it->second->bytes;
    entries_.erase(it);
}

uint64_t MessageCache::Used() const {
    std::lock_guard lock(mutex_);
    return used_;
}

uint64_t MessageCache::Reserved() const {
    std::lock_guard lock(mutex_);
    return reserved_;
}

size_t MessageCache::Entries() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace publisher
