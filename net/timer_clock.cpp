#include "net/timer_clock.h"

namespace {

class Steady final : public TimerClock {
  public:
    TimePoint Now() override { return std::chrono::steady_clock::now(); }

    std::cv_status WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                             TimePoint deadline) override {
        // An open-ended wait is no timed wait: converting the largest time point overflows on some
        // platforms' timed waits.
        if (deadline == TimePoint::max()) {
            cv.wait(lock);
            return std::cv_status::no_timeout;
        }
        return cv.wait_until(lock, deadline);
    }

    void NotifyAll(std::condition_variable& cv) override { cv.notify_all(); }
};

} // namespace

TimerClock& SteadyTimerClock() {
    static Steady clock;
    return clock;
}
