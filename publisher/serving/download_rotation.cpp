#include "publisher/serving/download_rotation.h"

namespace publisher {

DownloadRotation::DownloadRotation(std::vector<AdvertisedServer> servers) {
    Assign(std::move(servers));
}

void DownloadRotation::Assign(std::vector<AdvertisedServer> servers) {
    std::lock_guard lock(mutex_);
    entries_.clear();
    for (auto& s : servers)
        entries_.push_back({std::move(s), true, 0});
}

Endpoint DownloadRotation::Next() {
    std::lock_guard lock(mutex_);
    bool anyLive = false;
    for (const Entry& e : entries_)
        anyLive = anyLive || e.live;
    // Each turn every candidate gains its weight and the one ahead gives up the total: over any run of
    // turns each is chosen in proportion to its weight, and a heavy one is spread out, not bunched.
    Entry* best = nullptr;
    int64_t total = 0;
    for (Entry& e : entries_) {
        if (anyLive && !e.live)
            continue;
        e.current += e.server.weight;
        total += e.server.weight;
        if (!best || e.current > best->current)
            best = &e;
    }
    if (!best)
        return {};
    best->current -= total;
    return best->server.endpoint;
}

size_t DownloadRotation::CountLive(const std::vector<Entry>& entries) {
    size_t up = 0;
    for (const Entry& e : entries)
        up += e.live ? 1 : 0;
    return up;
}

size_t DownloadRotation::SetLive(size_t index, bool live) {
    std::lock_guard lock(mutex_);
    if (index < entries_.size() && entries_[index].live != live) {
        entries_[index].live = live;
        // A server coming back joins level with the others instead of catching up on missed turns.
        for (Entry& e : entries_)
            e.current = 0;
    }
    return CountLive(entries_);
}

size_t DownloadRotation::LiveCount() const {
    std::lock_guard lock(mutex_);
    return CountLive(entries_);
}

size_t DownloadRotation::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace publisher
