// Tests of the native notification seam that stands in for the interface thread's message queue.
#include "service/notify.h"
#include "service/notify_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Tests that posts from another thread are handled on the pump thread, in the order they were posted,
// and that nothing is delivered while no queue exists.
TEST(NotifyQueueTest, PostsArriveInOrderOnThePumpThread) {
    PostNotify(kNotifyFileDone, 1); // no target yet: dropped
    EXPECT_FALSE(NotifyTargetSet());
    std::vector<std::pair<uint32_t, intptr_t>> seen;
    std::vector<std::thread::id> threads;
    NotifyQueue queue([&](uint32_t m, intptr_t l) {
        seen.emplace_back(m, l);
        threads.push_back(std::this_thread::get_id());
    });
    EXPECT_TRUE(NotifyTargetSet());
    std::thread worker([] {
        for (intptr_t i = 0; i < 50; ++i)
            PostNotify(kNotifyFileDone, i);
        PostNotify(kNotifyDownloadDone, 0);
    });
    EXPECT_TRUE(
        queue.PumpUntil([&] { return !seen.empty() && seen.back().first == kNotifyDownloadDone; }, 10s));
    worker.join();
    ASSERT_EQ(seen.size(), 51u);
    for (intptr_t i = 0; i < 50; ++i)
        EXPECT_EQ(seen[size_t(i)], std::make_pair(uint32_t(kNotifyFileDone), i));
    for (auto id : threads)
        EXPECT_EQ(id, std::this_thread::get_id());
}

// Tests that a send from another thread returns only after the pump has handled it, and that a send on
// the pump thread is handled inline without pumping.
TEST(NotifyQueueTest, SendWaitsForThePump) {
    std::atomic<int> handled{0};
    NotifyQueue queue([&](uint32_t, intptr_t l) { handled += int(l); });
    SendNotify(kNotifyDLLost, 1);
    EXPECT_EQ(handled, 1); // inline on this thread

    std::atomic<bool> returned{false};
    int seenBySender = -1;
    std::thread sender([&] {
        SendNotify(kNotifyDLLost, 10);
        seenBySender = handled;
        returned = true;
    });
    EXPECT_TRUE(queue.PumpUntil([&] { return handled == 11; }, 10s));
    sender.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(seenBySender, 11);
}

// Tests that destroying the queue releases a sender that is still waiting, so no thread hangs.
TEST(NotifyQueueTest, DestroyReleasesWaitingSender) {
    std::atomic<bool> queued{false};
    std::thread sender;
    {
        NotifyQueue queue([](uint32_t, intptr_t) {});
        sender = std::thread([&] {
            queued = true;
            SendNotify(kNotifyDLLost, 0);
        });
        while (!queued)
            std::this_thread::yield();
    } // the sender either never queued (no target) or is released here
    sender.join();
    EXPECT_FALSE(NotifyTargetSet());
}

// Tests that each named notification carries its own message and lParam, that the codes arrive as the
// signed 32-bit values the dialog reads, and that only the download loss is sent (waits for the pump)
// while every other one is posted (queued until pumped).
TEST(NotifyQueueTest, NamedNotificationsKeepTheirMessageAndWay) {
    std::vector<std::pair<uint32_t, intptr_t>> seen;
    NotifyQueue queue([&](uint32_t m, intptr_t l) { seen.emplace_back(m, l); });
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        NotifyCheckAuthRefused();
        NotifyLoginRefused();
        NotifyModuleListDone();
        NotifyFileDone();
        NotifyDownloadDone();
        NotifyDLAuthentLink(0xFFFFFFF9u);
        NotifyNothingOffered(5);
        NotifyCheckLost();
        returned = true;
    });
    // Posts only: the worker returns without this thread pumping anything.
    for (auto until = std::chrono::steady_clock::now() + 10s;
         !returned && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(returned);
    EXPECT_TRUE(seen.empty());
    queue.PumpUntil([&] { return returned.load(); }, 10s); // releases a worker stuck in a send
    worker.join();
    queue.PumpPending();
    const std::vector<std::pair<uint32_t, intptr_t>> posted = {
        {kNotifyCheckAuthRefused, 0}, {kNotifyLoginRefused, 0}, {kNotifyModuleListDone, 0},
        {kNotifyFileDone, 0},         {kNotifyDownloadDone, 0}, {kNotifyDLAuthentLink, -7},
        {kNotifyNothingOffered, 5},   {kNotifyCheckLost, 0}};
    EXPECT_EQ(seen, posted);

    seen.clear();
    std::thread sender([] { NotifyDLLost(); });
    EXPECT_TRUE(queue.PumpUntil([&] { return !seen.empty(); }, 10s));
    sender.join(); // returns only once the pump handled it
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, intptr_t>>{{kNotifyDLLost, 0}}));
}
