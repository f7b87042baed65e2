#include "manual_clock.h"

#include <algorithm>

TimerClock::TimePoint ManualClock::Now() {
    std::lock_guard guard(lock_);
    return now_;
}

std::cv_status ManualClock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                                      TimePoint deadline) {
    std::unique_lock guard(lock_);
    if (now_ >= deadline)
        return std::cv_status::timeout;
    // Registered before the caller's mutex is let go: a notifier that changes the caller's state under
    // that mutex finds this sleeper and wakes it, so no notification falls between check and wait.
    Sleeper self{&cv, deadline};
    sleepers_.push_back(&self);
    lock.unlock();
    changed_.notify_all();
    changed_.wait(guard, [&] { return self.woken; });
    sleepers_.remove(&self);
    const bool timedOut = now_ >= deadline;
    guard.unlock();
    changed_.notify_all();
    lock.lock(); // the caller's mutex only after this clock's: the notifiers take them in the other order
    return timedOut ? std::cv_status::timeout : std::cv_status::no_timeout;
}

void ManualClock::NotifyAll(std::condition_variable& cv) {
    {
        std::lock_guard guard(lock_);
        for (Sleeper* s : sleepers_)
            if (s->cv == &cv)
                s->woken = true;
    }
    changed_.notify_all();
}

void ManualClock::Advance(Duration step) {
    {
        std::lock_guard guard(lock_);
        now_ += step;
        for (Sleeper* s : sleepers_)
            if (s->deadline <= now_)
                s->woken = true;
    }
    changed_.notify_all();
}

bool ManualClock::WaitForSleepers(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return SleepersLocked() >= count; });
}

size_t ManualClock::Sleepers() {
    std::lock_guard guard(lock_);
    return SleepersLocked();
}

size_t ManualClock::SleepersLocked() const {
    return size_t(
        std::count_if(sleepers_.begin(), sleepers_.end(), [](const Sleeper* s) { return !s->woken; }));
}
