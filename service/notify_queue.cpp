#include "service/notify_queue.h"

#include "service/notify.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// A SendNotify waiting for the pump; lives on the sender's stack while it waits.
struct SendWait {
    bool done = false;
};

} // namespace

struct NotifyQueue::State {
    struct Item {
        uint32_t message;
        uintptr_t wParam;
        intptr_t lParam;
        SendWait* wait; // null for a posted message
    };

    FullHandler handler;
    std::thread::id pumpThread = std::this_thread::get_id();
    std::mutex lock;
    std::condition_variable arrived; // the pump waits for items
    std::condition_variable handled; // senders wait for their item
    std::deque<Item> items;
    bool closed = false;
};

namespace {

std::mutex targetLock;
std::shared_ptr<NotifyQueue::State> target;

std::shared_ptr<NotifyQueue::State> Target() {
    std::lock_guard guard(targetLock);
    return target;
}

} // namespace

NotifyQueue::NotifyQueue(Handler handler)
    : NotifyQueue(FullHandler([handler = std::move(handler)](uint32_t message, uintptr_t, intptr_t lParam) {
          handler(message, lParam);
      })) {}

NotifyQueue::NotifyQueue(FullHandler handler) : state_(std::make_shared<State>()) {
    state_->handler = std::move(handler);
    std::lock_guard guard(targetLock);
    target = state_;
}

NotifyQueue::~NotifyQueue() {
    {
        std::lock_guard guard(targetLock);
        if (target == state_)
            target.reset();
    }
    // Release any sender still waiting: nobody will pump its message now.
    std::lock_guard guard(state_->lock);
    state_->closed = true;
    state_->items.clear();
    state_->handled.notify_all();
}

bool NotifyQueue::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    State& s = *state_;
    while (!done()) {
        State::Item item;
        {
            std::unique_lock guard(s.lock);
            if (!s.arrived.wait_until(guard, deadline, [&] { return !s.items.empty(); }))
                return done();
            item = s.items.front();
            s.items.pop_front();
        }
        s.handler(item.message, item.wParam,
                  item.lParam); // no lock held: the handler may call into the clients
        if (item.wait) {
            std::lock_guard guard(s.lock);
            item.wait->done = true;
            s.handled.notify_all();
        }
    }
    return true;
}

size_t NotifyQueue::PumpPending() {
    size_t count = 0;
    PumpUntil(
        [&] {
            std::lock_guard guard(state_->lock);
            if (state_->items.empty())
                return true;
            ++count;
            return false;
        },
        std::chrono::milliseconds(0));
    return count;
}

void PostNotify(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto s = Target();
    if (!s)
        return;
    std::lock_guard guard(s->lock);
    if (s->closed)
        return;
    s->items.push_back({message, wParam, lParam, nullptr});
    s->arrived.notify_one();
}

void SendNotify(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto s = Target();
    if (!s)
        return;
    if (std::this_thread::get_id() == s->pumpThread) {
        s->handler(message, wParam, lParam);
        return;
    }
    SendWait wait;
    std::unique_lock guard(s->lock);
    if (s->closed)
        return;
    s->items.push_back({message, wParam, lParam, &wait});
    s->arrived.notify_one();
    s->handled.wait(guard, [&] { return wait.done || s->closed; });
}

bool NotifyTargetSet() {
    return Target() != nullptr;
}
