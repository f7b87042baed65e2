#include "publisher/event_log.h"

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace publisher {

EventLog::EventLog() = default;

EventLog::~EventLog() {
    FlushSuppressed();
}

bool EventLog::OpenFile(const std::string& path) {
    // Readable by the service's group (adm for logrotate and log readers), by nobody else.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    UniqueFile f(::fdopen(fd, "a"));
    if (!f) {
        ::close(fd);
        return false;
    }
    std::lock_guard lock(mutex_);
    opened_ = std::move(f);
    file_ = opened_.Get();
    path_ = path;
    return true;
}

bool EventLog::Reopen() {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        path = path_;
    }
    return path.empty() || OpenFile(path);
}

void EventLog::Write(std::string_view text) {
    std::lock_guard lock(mutex_);
    WriteLocked(text);
}

void EventLog::WriteLocked(std::string_view text) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t secs = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(millis));
    // A write error (a full disk, a closed pipe) loses the line, never the service.
    std::fprintf(file_, "%s %.*s\n", stamp, int(text.size()), text.data());
    std::fflush(file_);
}

bool EventLog::Roll(const std::string& kind, Budget& budget, std::chrono::steady_clock::time_point now) {
    if (now - budget.start < std::chrono::seconds(1))
        return false;
    if (budget.suppressed != 0)
        WriteLocked(kind + ": " + std::to_string(budget.suppressed) + " more suppressed");
    budget = Budget{now};
    return true;
}

void EventLog::Limited(std::string_view kind, unsigned perSecond, std::string_view text) {
    const auto now = clock_();
    std::lock_guard lock(mutex_);
    auto it = budgets_.find(kind);
    if (it == budgets_.end())
        it = budgets_.emplace(std::string(kind), Budget{now}).first;
    Roll(it->first, it->second, now);
    if (it->second.written >= perSecond) {
        ++it->second.suppressed;
        return;
    }
    ++it->second.written;
    WriteLocked(text);
}

void EventLog::FlushSuppressed() {
    const auto now = clock_();
    std::lock_guard lock(mutex_);
    for (auto it = budgets_.begin(); it != budgets_.end();) {
        // A kind that has been quiet for a whole second needs no entry any more.
        if (Roll(it->first, it->second, now) && it->second.written == 0)
            it = budgets_.erase(it);
        else
            ++it;
    }
}

} // namespace publisher
