// A clock that only moves when the test moves it, for timer tests that would otherwise sleep. A timer
// waiting on it wakes when Advance reaches its deadline and when it is notified; the test learns that a
// timer has seen the present time by waiting until it sleeps again (WaitForSleepers), so a test can
// step time and then check exactly what fired, without a real wait.
//
// Threads: any thread. It must outlive the timers that use it (declare it before them).
#pragma once

#include "net/timer_clock.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>

class ManualClock final : public TimerClock {
  public:
    TimePoint Now() override;
    std::cv_status WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                             TimePoint deadline) override;
    void NotifyAll(std::condition_variable& cv) override;

    // Moves time on and wakes every wait whose deadline it reaches.
    void Advance(Duration step);
    // Waits (in real time, up to `limit`) until at least `count` threads sleep on this clock: waits that
    // neither a notification nor the time has ended yet. False when the limit passed first.
    bool WaitForSleepers(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    size_t Sleepers();

  private:
    struct Sleeper {
        const std::condition_variable* cv;
        TimePoint deadline;
        bool woken = false;
    };

    size_t SleepersLocked() const;

    std::mutex lock_;
    std::condition_variable changed_; // any wait, wake or step
    TimePoint now_{std::chrono::hours(1)};
    std::list<Sleeper*> sleepers_;
};
