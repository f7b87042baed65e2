// Hands out the advertised download servers in turn, each as often as its weight says, skipping the
// ones marked down. When every one is down they are all handed out in turn again: an update check
// without a server would fail the installer at once, while a server that went away briefly may well
// answer by the time the installer connects.
//
// Thread-safe: the check sessions of every serving thread take servers while the prober marks them.
#pragma once

#include "publisher/command_line/options.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace publisher {

class DownloadRotation {
  public:
    DownloadRotation() = default;
    explicit DownloadRotation(std::vector<AdvertisedServer> servers);
    DownloadRotation(const DownloadRotation&) = delete;
    DownloadRotation& operator=(const DownloadRotation&) = delete;

    // Replaces the servers; all start up.
    void Assign(std::vector<AdvertisedServer> servers);
    // The next server; an empty endpoint when there are none.
    Endpoint Next();
    // Marks server `index` (in the order given) down or up; returns how many are up afterwards.
    size_t SetLive(size_t index, bool live);
    size_t Size() const;
    size_t LiveCount() const;

  private:
    struct Entry {
        AdvertisedServer server;
        bool live = true;
        int64_t current = 0; // smooth weighted turns: the highest goes next
    };

    static size_t CountLive(const std::vector<Entry>& entries);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace publisher
