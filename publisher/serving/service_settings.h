// What every session of one service shares for the life of a package: the package itself, the
// download server rotation (check service), the kept and the prepared messages (download service) and
// the switches.
// Built by the server; read-only once sessions use it.
#pragma once

#include "publisher/prepared/message_cache.h"
#include "publisher/command_line/options.h"
#include "publisher/package/package.h"
#include "publisher/prepared/prepared_files.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace publisher {

class DownloadRotation;

struct ServiceSettings {
    std::shared_ptr<const Package> package;
    DownloadRotation* rotation = nullptr; // check role only
    int32_t heartbeatSeconds = 30;
    size_t moduleBatch = 0;                  // 0: as many module records per message as fit
    std::shared_ptr<MessageCache> cache;     // download role; null: nothing kept
    std::shared_ptr<PreparedFiles> prepared; // download role; null: nothing prepared
    TestSwitches test;
    // Set once a reload gave new connections other settings: a download connection still on these then
    // ends after the idle limit without download progress, heartbeats or not, so that it cannot hold
    // an old package's messages for ever.
    mutable std::atomic<bool> superseded{false};
};

} // namespace publisher
