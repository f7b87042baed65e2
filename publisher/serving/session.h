// One connection's protocol, without any I/O: bytes in, packets out. The Asio connection feeds it what
// the socket delivered and writes what it hands back; tests and the fuzz target drive it directly.
//
// Not thread-safe: each Session is used by the one thread that runs its connection, together with the
// Scratch of that thread.
#pragma once

#include "net/idea.h"
#include "net/packet_codec.h"
#include "publisher/prepared/chunk_stream.h"
#include "publisher/serving/download_rotation.h"
#include "publisher/prepared/message_cache.h"
#include "publisher/ops/metrics.h"
#include "publisher/command_line/options.h"
#include "publisher/package/package.h"
#include "publisher/serving/scratch.h"
#include "publisher/serving/service_settings.h"
#include "publisher/ops/unique_fd.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace publisher {

class EventLog;

enum class Role { Check, Download };

// A file's messages on their way into the MessageCache, with the room reserved for them.
struct FileRecording {
    const PackageFile* file = nullptr;
    uint64_t reserved = 0;
    CachedFile entry;
};

// Whether a test switch may cut one more connection (--test-drop-times); counts the cut when it may.
bool TakeTestCut(const TestSwitches& test);

class Session {
  public:
    Session(Role role, const ServiceSettings& settings, EventLog& log, std::string tag, Scratch& scratch);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Decodes and answers the complete packets at the front of data until the answer queue is full;
    // returns the bytes used. The rest must be offered again, with more bytes behind it or once the
    // queue has drained.
    size_t Receive(const uint8_t* data, size_t len);

    // The next packet to write: queued answers first, then the next message of a running download.
    // False when there is nothing to write now.
    bool NextPacket(std::vector<uint8_t>& packet);

    // Answers waiting to be written beyond this stop Receive from taking more packets, so a peer that
    // sends requests without reading the answers holds a bounded amount of memory.
    static constexpr size_t kMaxQueuedBytes = 512 * 1024;
    size_t QueuedBytes() const { return queuedBytes_; }
    bool QueueFull() const { return queuedBytes_ >= kMaxQueuedBytes; }
    // The connection ends once the queued packets are written.
    bool Closing() const { return closing_; }
    const std::string& CloseReason() const { return closeReason_; }
    bool Streaming() const { return stream_.Active(); }
    bool Authenticated() const { return authenticated_; }
    // Whether the module list went out: the installer then keeps this connection open, idle, for as
    // long as its download runs.
    bool ModuleListSent() const { return moduleListSent_; }
    // Whole requests answered without complaint; what counts as activity for the idle limit.
    uint64_t ValidRequests() const { return validRequests_; }
    // Download messages built so far: what counts as download progress.
    uint64_t DownloadMessages() const { return downloadMessages_; }
    const std::string& Tag() const { return tag_; }
    // Counts what this session answers into `metrics` (null: nothing); `quiet`: writes no routine log
    // lines (complaints still go out), for the check service's own probes. Before the first Receive.
    void Watch(Metrics* metrics, bool quiet) {
        metrics_ = metrics;
        quiet_ = quiet;
    }

  private:
    void HandleMessage(const uint8_t* msg, size_t len);
    void Dispatch(const uint8_t* msg, size_t len);
    bool PopQueued(std::vector<uint8_t>& packet);
    void HandleAuthent(const uint8_t* msg, size_t len);
    void HandleHeartbeat();
    void HandleLogin(const uint8_t* msg, size_t len);
    void HandleUpdateCheck(const uint8_t* msg, size_t len);
    void HandleModuleCheck(const uint8_t* msg, size_t len);
    void HandleDownload(const uint8_t* msg, size_t len);

    bool BuildDownloadMessage(std::vector<uint8_t>& packet);
    // The next download packet from the files (recording it when there is room) or from the cache;
    // 0 when it cannot be encoded. ReadPacket may close the connection.
    size_t ReadPacket(uint8_t* packet);
    bool StartReplay();
    size_t ReplayPacket(uint8_t* packet);
    // Reads replay message `i` from the cache file of a prepared entry left on disk; null when it cannot.
    const uint8_t* ReadDiskMessage(size_t i, size_t& len);
    void CloseReplayFile();
    // Ends the download with ErrorCode 30 and closes the connection; returns 0 (no packet).
    size_t FailDownload(const std::string& error);
    // Whether this session's messages may come from, or go into, kept or prepared messages.
    bool Reusing() const;
    bool Caching() const;
    // Adds one sent message to the recording of the file it came from; stores the file's entry once
    // its last message has gone.
    void Record(const uint8_t* compressed, size_t len, uint64_t fileBytes);
    void DropRecording();
    // Encodes msg as the next packet to write (type 4 before authentication, 6 after).
    void Queue(const std::vector<uint8_t>& msg) { Queue(msg.data(), msg.size()); }
    void Queue(const uint8_t* msg, size_t len);
    size_t Encode(const uint8_t* msg, size_t len, uint8_t* packet);
    void Bad(const std::string& what);
    void Close(const std::string& reason);
    void Log(std::string_view kind, const std::string& text);
    void Complain(std::string_view kind, const std::string& text);
    void Count(Metrics::Counter Metrics::*counter, uint64_t n = 1) {
        if (metrics_)
            (metrics_->*counter).fetch_add(n, std::memory_order_relaxed);
    }

    Role role_;
    const ServiceSettings& settings_;
    EventLog& log_;
    std::string tag_;
    Scratch& scratch_;

    IdeaKey fixedKey_;
    IdeaKey peerSendKey_; // deciphers what the installer sends
    IdeaKey ownSendKey_;  // enciphers what this side sends
    bool authenticated_ = false;
    bool loggedIn_ = false;

    std::deque<std::vector<uint8_t>> queue_;
    size_t queuedBytes_ = 0;
    ChunkStream stream_;
    bool hostilePending_ = false;
    // Kept messages: the cache (shared, so it outlives the server), the prepared messages, the file being
    // replayed from either, and the file being recorded into the cache with the room reserved for it.
    std::shared_ptr<MessageCache> cache_;
    std::shared_ptr<PreparedFiles> prepared_;
    std::shared_ptr<const CachedFile> replay_;
    bool replayPrepared_ = false;
    size_t replayNext_ = 0;
    UniqueFd replayFd_; // the cache file of a replay from disk
    std::optional<FileRecording> recording_;
    uint64_t downloadMessages_ = 0;
    bool cutByTest_ = false; // the drop switch cuts this connection's download
    uint64_t replayedMessages_ = 0;
    uint64_t preparedMessages_ = 0;
    uint64_t streamStartBytes_ = 0;
    unsigned badRequests_ = 0;
    uint64_t validRequests_ = 0;
    bool moduleListSent_ = false;
    bool closing_ = false;
    std::string closeReason_;
    Metrics* metrics_ = nullptr;
    bool quiet_ = false;
    bool downloadOpen_ = false; // a download was started and not finished
    uint64_t bytesCounted_ = 0; // of stream_.BytesRead(), already in the file byte count
};

} // namespace publisher
