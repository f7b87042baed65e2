// The time a timer of the clients waits on. Production code runs on SteadyTimerClock(); a test hands the
// timer under test a clock of its own and steps time instead of sleeping through it.
//
// A timer keeps its usual mutex and condition variable but waits and wakes through its clock, so that a
// clock which is not the system's can end a wait when its time moves, as well as when the timer is
// notified.
//
// Threads: every method may be called from any thread. A clock outlives every timer that uses it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class TimerClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~TimerClock() = default;

    virtual TimePoint Now() = 0;
    // Blocks on `cv`, whose mutex `lock` holds, until NotifyAll(cv) or until this clock reaches
    // `deadline` (TimePoint::max(): no deadline). It may return early; the caller checks its state again.
    // Returns timeout when the deadline has passed.
    virtual std::cv_status WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                                     TimePoint deadline) = 0;
    // Ends every wait on `cv`; with or without the waiters' mutex held.
    virtual void NotifyAll(std::condition_variable& cv) = 0;
};

// std::chrono::steady_clock, shared by every production timer.
TimerClock& SteadyTimerClock();
