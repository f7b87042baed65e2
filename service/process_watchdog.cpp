#include "service/process_watchdog.h"

#include <atomic>

namespace {

std::atomic<int64_t> timeoutMs{30000};

} // namespace

AnswerWatchdog::AnswerWatchdog(std::function<void()> onSilence, TimerClock& clock)
    : onSilence_(std::move(onSilence)), clock_(&clock) {}

AnswerWatchdog::~AnswerWatchdog() {
    Stop();
}

void AnswerWatchdog::SetTimeout(std::chrono::milliseconds timeout) {
    timeoutMs = timeout.count();
}

std::chrono::milliseconds AnswerWatchdog::Timeout() {
    return std::chrono::milliseconds(timeoutMs.load());
}

void AnswerWatchdog::UseClock(TimerClock& clock) {
    std::lock_guard guard(lock_);
    clock_->NotifyAll(changed_); // a wait under the former clock starts again under this one
    clock_ = &clock;
}

void AnswerWatchdog::Arm() {
    std::lock_guard guard(lock_);
    if (stopping_)
        return;
    const bool wasArmed = armed_;
    armed_ = true;
    deadline_ = clock_->Now() + Timeout();
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); }); // first use: most clients never need one
    // A later deadline needs no wake-up: the thread finds it when the earlier one passes. Waking it on
    // every message of a download cost a thread switch each time.
    if (!wasArmed)
        clock_->NotifyAll(changed_);
}

void AnswerWatchdog::Touch() {
    std::lock_guard guard(lock_);
    // A later deadline needs no wake-up (see Arm).
    if (armed_)
        deadline_ = clock_->Now() + Timeout();
}

void AnswerWatchdog::Disarm() {
    std::lock_guard guard(lock_);
    armed_ = false;
    clock_->NotifyAll(changed_);
}

void AnswerWatchdog::Stop() {
    std::thread thread;
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        armed_ = false;
        clock_->NotifyAll(changed_);
        thread = std::move(thread_);
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
    else if (thread.joinable())
        thread.detach(); // Stop from inside onSilence: the thread is leaving anyway
}

void AnswerWatchdog::Run() {
    std::unique_lock guard(lock_);
    while (!stopping_) {
        if (!armed_) {
            clock_->WaitUntil(changed_, guard, TimerClock::TimePoint::max());
            continue;
        }
        if (clock_->WaitUntil(changed_, guard, deadline_) == std::cv_status::timeout && armed_ &&
            !stopping_ && clock_->Now() >= deadline_) {
            armed_ = false;
            guard.unlock();
            onSilence_(); // closes the connection; never under the lock
            guard.lock();
        }
    }
}
