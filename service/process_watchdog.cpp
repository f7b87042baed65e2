#include "service/process_watchdog.h"

#include <atomic>

namespace {

std::atomic<int64_t> timeoutMs{30000};

} // namespace

AnswerWatchdog::AnswerWatchdog(std::function<void()> onSilence) : onSilence_(std::move(onSilence)) {}

AnswerWatchdog::~AnswerWatchdog() {
    Stop();
}

void AnswerWatchdog::SetTimeout(std::chrono::milliseconds timeout) {
    timeoutMs = timeout.count();
}

std::chrono::milliseconds AnswerWatchdog::Timeout() {
    return std::chrono::milliseconds(timeoutMs.load());
}

void AnswerWatchdog::Arm() {
    std::lock_guard guard(lock_);
    if (stopping_)
        return;
    const bool wasArmed = armed_;
    armed_ = true;
    deadline_ = std::chrono::steady_clock::now() + Timeout();
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); }); // first use: most clients never need one
    // A later deadline needs no wake-up: the thread finds it when the earlier one passes. Waking it on
    // every message of a download cost a thread switch each time.
    if (!wasArmed)
        changed_.notify_all();
}

void AnswerWatchdog::Touch() {
    std::lock_guard guard(lock_);
    // A later deadline needs no wake-up (see Arm).
    if (armed_)
        deadline_ = std::chrono::steady_clock::now() + Timeout();
}

void AnswerWatchdog::Disarm() {
    std::lock_guard guard(lock_);
    armed_ = false;
    changed_.notify_all();
}

void AnswerWatchdog::Stop() {
    std::thread thread;
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        armed_ = false;
        changed_.notify_all();
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
            changed_.wait(guard);
            continue;
        }
        if (changed_.wait_until(guard, deadline_) == std::cv_status::timeout && armed_ && !stopping_ &&
            std::chrono::steady_clock::now() >= deadline_) {
            armed_ = false;
            guard.unlock();
            onSilence_(); // closes the connection; never under the lock
            guard.lock();
        }
    }
}
