// Thread base classes. A TThread owns at most one operating-system thread, started once and joined
// before the object goes; its loop polls StopRequested() and sleeps through WaitFor(), which a stop
// request or Wake() cuts short.
#pragma once

#include "net/timer_clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class TRunnable {
  public:
    virtual ~TRunnable() = default;
    virtual void Run() = 0;
};

class TThread : public TRunnable {
  public:
    TThread() = default;
    // Stops and joins as a last resort; a derived class whose Run uses its own members must call
    // StopAndJoin() in its own destructor, before those members go.
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // When set, the thread runs this object's Run instead of its own.
    TRunnable* runnable = nullptr;

    // Starts the thread unless one was started before. False when the system refuses a new thread.
    bool Start();
    bool Started() const { return started_.load(); }

    // The clock WaitFor sleeps on (for tests; it outlives this object). Before Start.
    void UseClock(TimerClock& clock);

    void RequestStop();
    bool StopRequested() const { return stop_.load(); }
    // Any thread. Requests a stop and waits for the thread to leave its loop; harmless when never
    // started, and when called on the thread itself (which is then left to finish on its own).
    void StopAndJoin();

  protected:
    void ClearStop() { stop_.store(false); }
    // Sleeps for up to `timeout`; returns early on RequestStop() or Wake().
    void WaitFor(std::chrono::milliseconds timeout);
    void Wake();

  private:
    static void Entry(TThread* self);

    std::mutex startLock_;
    std::thread handle_;
    std::atomic<bool> started_{false};
    std::atomic<bool> stop_{false};
    std::mutex wakeLock_; // guards clock_ and woken_
    std::condition_variable wakeSignal_;
    TimerClock* clock_ = &SteadyTimerClock();
    bool woken_ = false;
};
