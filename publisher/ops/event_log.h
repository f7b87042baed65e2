// One line per connection event, to a file or to standard error. Any thread may write; each line is
// written whole.
//
// Writing never blocks serving: Write stamps the line and puts it in a bounded queue that one writer
// thread empties. A log reader that stalls (a paused terminal, a stuck log shipper behind a pipe) fills
// the queue; further lines are counted and dropped, and the count is logged once the writer catches up.
// At the end the writer is given a few seconds to drain, then gives up, so a stop never waits on a reader.
//
// A public service hears from anyone, and reconnecting costs a client nothing, so lines about
// connections go through Limited: at most a few lines per second of each kind, the rest counted and
// reported as one "<kind>: N more suppressed" line once their second is over.
#pragma once

#include "core/result.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace publisher {

class EventLog {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Logs to standard error. `queueBytes` bounds the lines waiting for the writer.
    explicit EventLog(size_t queueBytes = kDefaultQueueBytes);
    // Drains what it can within the stop grace, then joins the writer.
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Appends to `path` from now on; when it cannot be opened, a failure naming the path (and still
    // standard error).
    Status OpenFile(const std::string& path);
    // Opens the file again by its name, for log rotation; when it cannot, the old file is kept.
    Status Reopen();
    bool ToFile() const;

    // Queues "<UTC time> <text>" as one line, or counts it as dropped when the queue is full.
    void Write(std::string_view text);
    // Writes the line unless `perSecond` lines of this kind were written within the current second.
    void Limited(std::string_view kind, unsigned perSecond, std::string_view text);
    // Reports the kinds whose second is over and that had lines suppressed; the serving loop calls it
    // every second, so a count is never held back for long.
    void FlushSuppressed();
    // Waits up to `limit` until every line queued so far is written; false when the writer is behind.
    bool Flush(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // Lines Limited held back since the start, for the metrics.
    uint64_t SuppressedTotal() const {
        std::lock_guard lock(mutex_);
        return suppressedTotal_;
    }

    // For tests: the time source of the rate limit.
    void SetClock(Clock clock) { clock_ = std::move(clock); }

    static constexpr size_t kDefaultQueueBytes = 1 << 20;
    // How long a stop waits for a stalled reader before the queued lines are given up.
    static constexpr std::chrono::milliseconds kStopGrace{2000};

  private:
    struct Budget {
        std::chrono::steady_clock::time_point start;
        unsigned written = 0;
        uint64_t suppressed = 0;
    };
    // An open log file, or standard error (not closed).
    class Target;
    struct Entry {
        std::string line;                 // stamped, with its newline
        std::shared_ptr<Target> switchTo; // set: from here on lines go there
    };
    void QueueLocked(std::string_view text);
    // Ends the budget's second if it is over, writing its count; true when a new second began.
    bool Roll(const std::string& kind, Budget& budget, std::chrono::steady_clock::time_point now);
    void WriterLoop();
    // Writes all of `line` unless the stop grace ran out; false then.
    bool Emit(const Target& target, std::string_view line);

    mutable std::mutex mutex_;
    std::condition_variable wake_;            // the writer: lines queued or a stop
    mutable std::condition_variable drained_; // Flush: lines written
    std::deque<Entry> queue_;
    size_t queuedBytes_ = 0;
    const size_t maxQueuedBytes_;
    uint64_t queued_ = 0;  // entries ever queued
    uint64_t handled_ = 0; // entries the writer is done with
    uint64_t dropped_ = 0; // lines refused since the last count was logged
    uint64_t suppressedTotal_ = 0;
    std::string path_;
    Clock clock_ = [] { return std::chrono::steady_clock::now(); };
    std::map<std::string, Budget, std::less<>> budgets_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::chrono::steady_clock::rep> giveUpAt_{0};
    std::thread writer_; // last: starts once everything above exists
};

// Per-second budgets of the kinds of lines: complaints (bad requests, refusals) get fewer lines than
// the course of ordinary connections.
constexpr unsigned kComplaintsPerSecond = 5;
constexpr unsigned kEventsPerSecond = 10;

} // namespace publisher
