// The native side of the notification seam (service/notify.h): a message queue that a test thread
// pumps the way the interface thread pumps its window messages. While a NotifyQueue exists it is the
// process-wide target of PostNotify and SendNotify.
//
// Threads: construct, pump and destroy on the one thread that plays the interface thread. PostNotify
// and SendNotify may be called from any thread; a SendNotify from another thread waits until the pump
// has handled the message (or the queue is destroyed); one made on the pump thread is handled inline.
// The handler runs on the pump thread with no lock held, so it may call back into the clients.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class NotifyQueue {
  public:
    using Handler = std::function<void(uint32_t message, intptr_t lParam)>;
    // With the wParam, which names the attempt a client's notification belongs to.
    using FullHandler = std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)>;

    explicit NotifyQueue(Handler handler);
    explicit NotifyQueue(FullHandler handler);
    ~NotifyQueue();
    NotifyQueue(const NotifyQueue&) = delete;
    NotifyQueue& operator=(const NotifyQueue&) = delete;

    // Handles queued messages in arrival order until done() is true (checked before the first and after
    // each message) or limit has passed; the limit is only a safety net against a hung peer. Returns
    // done().
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Handles whatever is queued now, without waiting. Returns how many were handled.
    size_t PumpPending();

    struct State;

  private:
    std::shared_ptr<State> state_;
};
