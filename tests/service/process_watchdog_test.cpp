// Tests that the answer watchdog fires once per silence, only after the latest Arm's (or received
// byte's) full timeout, and never once disarmed or stopped.
#include "service/process_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Watchdog : ::testing::Test {
    milliseconds saved = AnswerWatchdog::Timeout();
    std::atomic<int> fired{0};
    std::atomic<Clock::rep> firedAt{0};
    void SetUp() override { AnswerWatchdog::SetTimeout(milliseconds(300)); }
    void TearDown() override { AnswerWatchdog::SetTimeout(saved); }
    bool WaitFired(int count) {
        for (int i = 0; i < 500 && fired < count; ++i)
            std::this_thread::sleep_for(milliseconds(10));
        return fired >= count;
    }
};

// Tests that re-arming moves the deadline: the silence counts from the last Arm, even though the
// thread was waiting for the earlier deadline, and it fires once.
TEST_F(Watchdog, ReArmingPostponesTheSilence) {
    AnswerWatchdog dog([this] {
        firedAt = Clock::now().time_since_epoch().count();
        ++fired;
    });
    dog.Arm();
    std::this_thread::sleep_for(milliseconds(200));
    const Clock::time_point lastArm = Clock::now();
    dog.Arm();
    ASSERT_TRUE(WaitFired(1));
    EXPECT_GE(Clock::time_point(Clock::duration(firedAt.load())) - lastArm, milliseconds(300));
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_EQ(1, fired.load());
}

// Tests that a disarmed or stopped watchdog stays quiet, and that it can be armed again after firing.
TEST_F(Watchdog, DisarmAndStopSilenceIt) {
    AnswerWatchdog dog([this] { ++fired; });
    dog.Arm();
    dog.Disarm();
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_EQ(0, fired.load());
    dog.Arm();
    ASSERT_TRUE(WaitFired(1));
    dog.Arm();
    ASSERT_TRUE(WaitFired(2));
    dog.Arm();
    dog.Stop();
    dog.Arm(); // after Stop: ignored
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_EQ(2, fired.load());
}

// Tests that received bytes keep an armed watchdog quiet however long the answer takes, that it fires
// one timeout after the last of them, and that bytes do not arm a disarmed one.
TEST_F(Watchdog, BytesPostponeTheSilence) {
    AnswerWatchdog dog([this] {
        firedAt = Clock::now().time_since_epoch().count();
        ++fired;
    });
    dog.Touch(); // not armed: nothing is awaited
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(0, fired.load());
    dog.Arm();
    for (int i = 0; i < 15; ++i) { // 1.5 s of a slow answer, five timeouts long
        std::this_thread::sleep_for(milliseconds(100));
        dog.Touch();
    }
    const Clock::time_point lastByte = Clock::now();
    EXPECT_EQ(0, fired.load());
    ASSERT_TRUE(WaitFired(1));
    EXPECT_GE(Clock::time_point(Clock::duration(firedAt.load())) - lastByte, milliseconds(300));
}

// Tests that a service is given 30 seconds of silence unless a test shortens it.
TEST(WatchdogTimeout, IsThirtySeconds) {
    EXPECT_EQ(AnswerWatchdog::Timeout(), std::chrono::seconds(30));
}

} // namespace
