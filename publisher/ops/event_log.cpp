#include "publisher/ops/event_log.h"

#include "publisher/ops/signals_held_back.h"
#include "publisher/ops/unique_fd.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace publisher {

class EventLog::Target {
  public:
    // Standard error, which is not ours to close.
    explicit Target(int borrowed) : fd_(borrowed) {}
    explicit Target(UniqueFd owned) : fd_(owned.get()), owned_(std::move(owned)) {}
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    int Fd() const { return fd_; }

  private:
    int fd_;
    UniqueFd owned_;
};

namespace {

std::string Stamped(std::string_view text) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t secs = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(millis));
    std::string line(stamp);
    line.append(text);
    line.push_back('\n');
    return line;
}

} // namespace

EventLog::EventLog(size_t queueBytes) : maxQueuedBytes_(queueBytes) {
    queue_.push_back({{}, std::make_shared<Target>(STDERR_FILENO)});
    ++queued_;
    const SignalsHeldBack heldBack; // the writer never takes the service's signals
    writer_ = std::thread([this] { WriterLoop(); });
}

EventLog::~EventLog() {
    FlushSuppressed();
    giveUpAt_ = (std::chrono::steady_clock::now() + kStopGrace).time_since_epoch().count();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

Status EventLog::OpenFile(const std::string& path) {
    // Readable by the service's group (adm for logrotate and log readers), by nobody else.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
    if (!fd)
        return Error::FromErrno(ErrorKind::kIo, path);
    auto target = std::make_shared<Target>(std::move(fd));
    {
        std::lock_guard lock(mutex_);
        // Queued in order: lines written before the switch still go to the old file.
        queue_.push_back({{}, std::move(target)});
        ++queued_;
        path_ = path;
    }
    wake_.notify_one();
    return Ok();
}

Status EventLog::Reopen() {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        path = path_;
    }
    if (path.empty())
        return Ok();
    return OpenFile(path);
}

bool EventLog::ToFile() const {
    std::lock_guard lock(mutex_);
    return !path_.empty();
}

void EventLog::Write(std::string_view text) {
    {
        std::lock_guard lock(mutex_);
        QueueLocked(text);
    }
    wake_.notify_one();
}

void EventLog::QueueLocked(std::string_view text) {
    if (queuedBytes_ + text.size() > maxQueuedBytes_) {
        ++dropped_;
        return;
    }
    std::string line = Stamped(text);
    queuedBytes_ += line.size();
    queue_.push_back({std::move(line), nullptr});
    ++queued_;
}

bool EventLog::Roll(const std::string& kind, Budget& budget, std::chrono::steady_clock::time_point now) {
    if (now - budget.start < std::chrono::seconds(1))
        return false;
    if (budget.suppressed != 0)
        QueueLocked(kind + ": " + std::to_string(budget.suppressed) + " more suppressed");
    budget = Budget{now};
    return true;
}

void EventLog::Limited(std::string_view kind, unsigned perSecond, std::string_view text) {
    const auto now = clock_();
    {
        std::lock_guard lock(mutex_);
        auto it = budgets_.find(kind);
        if (it == budgets_.end())
            it = budgets_.emplace(std::string(kind), Budget{now}).first;
        Roll(it->first, it->second, now);
        if (it->second.written >= perSecond) {
            ++it->second.suppressed;
            ++suppressedTotal_;
            return;
        }
        ++it->second.written;
        QueueLocked(text);
    }
    wake_.notify_one();
}

void EventLog::FlushSuppressed() {
    const auto now = clock_();
    {
        std::lock_guard lock(mutex_);
        for (auto it = budgets_.begin(); it != budgets_.end();) {
            // A kind that has been quiet for a whole second needs no entry any more.
            if (Roll(it->first, it->second, now) && it->second.written == 0)
                it = budgets_.erase(it);
            else
                ++it;
        }
    }
    wake_.notify_one();
}

bool EventLog::Flush(std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    const uint64_t target = queued_;
    return drained_.wait_for(lock, limit, [&] { return handled_ >= target; });
}

bool EventLog::Emit(const Target& target, std::string_view line) {
    while (!line.empty()) {
        if (stopping_ && std::chrono::steady_clock::now().time_since_epoch().count() > giveUpAt_)
            return false;
        // Waiting in poll, not in write, keeps the stop in reach however long the reader stalls; a
        // write of at most PIPE_BUF into a pipe with room does not block.
        pollfd p{target.Fd(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        const ssize_t n =
            ready < 0 ? -1 : ::write(target.Fd(), line.data(), std::min<size_t>(line.size(), PIPE_BUF));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // A write error (a full disk, a closed pipe) loses the line, never the service.
        if (n <= 0)
            return true;
        line.remove_prefix(size_t(n));
    }
    return true;
}

void EventLog::WriterLoop() {
    std::shared_ptr<Target> target;
    bool gaveUp = false;
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty() || dropped_ != 0; });
        if (stopping_ && queue_.empty() && dropped_ == 0)
            break;
        std::deque<Entry> batch;
        batch.swap(queue_);
        queuedBytes_ = 0;
        const uint64_t dropped = std::exchange(dropped_, 0);
        lock.unlock();
        for (const Entry& e : batch) {
            if (e.switchTo)
                target = e.switchTo; // the old file closes with its last holder
            else if (!gaveUp)
                gaveUp = !Emit(*target, e.line);
        }
        if (dropped != 0 && !gaveUp)
            gaveUp = !Emit(*target, Stamped(std::to_string(dropped) +
                                            " log lines dropped: the log output did not keep up"));
        lock.lock();
        handled_ += batch.size();
        drained_.notify_all();
        if (gaveUp && stopping_)
            break;
    }
}

} // namespace publisher
