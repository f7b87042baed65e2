#include "net/thread.h"

#include <system_error>

TThread::~TThread() {
    StopAndJoin();
}

void TThread::Entry(TThread* self) {
    if (self == nullptr)
        return;
    // Nothing may leave a thread: an escaping exception would end the process.
    try {
        if (self->runnable != nullptr)
            self->runnable->Run();
        else
            self->Run();
    } catch (...) {
    }
}

bool TThread::Start() {
    std::lock_guard<std::mutex> lock(startLock_);
    if (started_.load())
        return true;
    try {
        handle_ = std::thread(&TThread::Entry, this);
    } catch (const std::system_error&) {
        return false;
    }
    started_.store(true);
    return true;
}

void TThread::RequestStop() {
    stop_.store(true);
    Wake();
}

void TThread::StopAndJoin() {
    RequestStop();
    std::lock_guard<std::mutex> lock(startLock_);
    if (!handle_.joinable())
        return;
    if (handle_.get_id() == std::this_thread::get_id())
        handle_.detach();
    else
        handle_.join();
}

void TThread::UseClock(TimerClock& clock) {
    std::lock_guard<std::mutex> lock(wakeLock_);
    clock_ = &clock;
}

void TThread::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(wakeLock_);
    const TimerClock::TimePoint deadline = clock_->Now() + timeout;
    while (!woken_ && !stop_.load() &&
           clock_->WaitUntil(wakeSignal_, lock, deadline) == std::cv_status::no_timeout) {
    }
    woken_ = false;
}

void TThread::Wake() {
    TimerClock* clock = nullptr;
    {
        std::lock_guard<std::mutex> lock(wakeLock_);
        woken_ = true;
        clock = clock_;
    }
    clock->NotifyAll(wakeSignal_);
}
