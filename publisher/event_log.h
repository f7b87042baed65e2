// One line per connection event, to a file or to standard error. Any thread may write; each line is
// written whole and flushed, so a crash or a kill loses nothing that was logged.
//
// A public service hears from anyone, and reconnecting costs a client nothing, so lines about
// connections go through Limited: at most a few lines per second of each kind, the rest counted and
// reported as one "<kind>: N more suppressed" line once their second is over.
#pragma once

#include "app/unique_file.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace publisher {

class EventLog {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Logs to standard error.
    EventLog();
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Appends to `path` from now on; false (and still standard error) when it cannot be opened.
    bool OpenFile(const std::string& path);
    // Opens the file again by its name, for log rotation; false (and the old file kept) when it cannot.
    bool Reopen();
    bool ToFile() const { return !path_.empty(); }

    // Writes "<UTC time> <text>" as one line.
    void Write(std::string_view text);
    // Writes the line unless `perSecond` lines of this kind were written within the current second.
    void Limited(std::string_view kind, unsigned perSecond, std::string_view text);
    // Reports the kinds whose second is over and that had lines suppressed; the serving loop calls it
    // every second, so a count is never held back for long.
    void FlushSuppressed();

    // For tests: the time source of the rate limit.
    void SetClock(Clock clock) { clock_ = std::move(clock); }

  private:
    struct Budget {
        std::chrono::steady_clock::time_point start;
        unsigned written = 0;
        uint64_t suppressed = 0;
    };
    void WriteLocked(std::string_view text);
    // Ends the budget's second if it is over, writing its count; true when a new second began.
    bool Roll(const std::string& kind, Budget& budget, std::chrono::steady_clock::time_point now);

    std::mutex mutex_;
    UniqueFile opened_; // the file once one is open; until then lines go to standard error
    FILE* file_ = stderr;
    std::string path_;
    Clock clock_ = [] { return std::chrono::steady_clock::now(); };
    std::map<std::string, Budget, std::less<>> budgets_;
};

// Per-second budgets of the kinds of lines: complaints (bad requests, refusals) get fewer lines than
// the course of ordinary connections.
constexpr unsigned kComplaintsPerSecond = 5;
constexpr unsigned kEventsPerSecond = 10;

} // namespace publisher
