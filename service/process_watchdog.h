// Ends a service connection that stops answering. The codec drops undecodable bytes without a word,
// so a service that sends garbage (or nothing) would otherwise leave the installer in Updating for
// ever, with its close glyph inactive. A client arms the watchdog whenever it waits for an answer and
// disarms it when the exchange is over; every received byte pushes the deadline back, so what fails a
// connection is silence, not a slow link. If the service says nothing for the whole timeout, onSilence
// runs (the client closes its connection, which reports the loss to the interface as usual).
//
// Threads: Arm and Disarm from any thread; onSilence runs on the watchdog's own thread with no lock
// held. Stop (or the destructor) joins that thread; call it before the client's connection goes.
#pragma once

#include "net/timer_clock.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class AnswerWatchdog {
  public:
    // Silence is measured on `clock`, which outlives the watchdog.
    explicit AnswerWatchdog(std::function<void()> onSilence, TimerClock& clock = SteadyTimerClock());
    ~AnswerWatchdog();
    AnswerWatchdog(const AnswerWatchdog&) = delete;
    AnswerWatchdog& operator=(const AnswerWatchdog&) = delete;

    // Starts (or restarts) the wait for an answer.
    void Arm();
    // Bytes arrived: while armed, the silence counts from now. Cheap enough for every read.
    void Touch();
    // No answer is awaited any more.
    void Disarm();
    // Leaves and joins the thread; later Arm calls do nothing.
    void Stop();
    // Measures silence on `clock` instead (for tests), which outlives the watchdog. Before the first Arm.
    void UseClock(TimerClock& clock);

    // How long a service may stay silent while an answer is awaited (30 s unless a test shortens it).
    static void SetTimeout(std::chrono::milliseconds timeout);
    static std::chrono::milliseconds Timeout();

  private:
    void Run();

    std::function<void()> onSilence_;
    std::mutex lock_;
    TimerClock* clock_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool stopping_ = false;
    TimerClock::TimePoint deadline_;
    std::thread thread_;
};
