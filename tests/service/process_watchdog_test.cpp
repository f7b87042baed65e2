// Tests that the answer watchdog fires once per silence, exactly the latest Arm's (or received byte's)
// full timeout later, and never once disarmed or stopped. Time is a manual clock stepped by the tests.
#include "service/process_watchdog.h"

#include "manual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

using std::chrono::milliseconds;

struct Watchdog : ::testing::Test {
    ManualClock clock; // before the watchdog, which waits on it
    std::atomic<int> fired{0};
    std::atomic<TimerClock::Duration::rep> firedAt{0};
    AnswerWatchdog dog{[this] {
                           firedAt = clock.Now().time_since_epoch().count();
                           ++fired;
                       },
                       clock};
    const milliseconds timeout = AnswerWatchdog::Timeout();

    // Moves time on once the watchdog's thread has taken in everything before, and returns when it has
    // taken in the step: fired, or asleep again.
    void Step(TimerClock::Duration step) {
        ASSERT_TRUE(clock.WaitForSleepers(1));
        clock.Advance(step);
        ASSERT_TRUE(clock.WaitForSleepers(1));
    }
    TimerClock::TimePoint FiredAt() const {
        return TimerClock::TimePoint(TimerClock::Duration(firedAt.load()));
    }
};

// Tests that re-arming moves the deadline: the silence counts from the last Arm, even though the
// thread was waiting for the earlier deadline, and it fires once.
TEST_F(Watchdog, ReArmingPostponesTheSilence) {
    dog.Arm();
    Step(timeout * 2 / 3);
    const TimerClock::TimePoint lastArm = clock.Now();
    dog.Arm();
    Step(timeout / 3); // the first Arm's deadline
    EXPECT_EQ(0, fired.load());
    Step(timeout * 2 / 3 - milliseconds(1));
    EXPECT_EQ(0, fired.load());
    Step(milliseconds(1));
    ASSERT_EQ(1, fired.load());
    EXPECT_EQ(FiredAt(), lastArm + timeout);
    Step(timeout * 3);
    EXPECT_EQ(1, fired.load());
}

// Tests that a disarmed or stopped watchdog stays quiet, and that it can be armed again after firing.
TEST_F(Watchdog, DisarmAndStopSilenceIt) {
    dog.Arm();
    dog.Disarm();
    Step(timeout * 2);
    EXPECT_EQ(0, fired.load());
    dog.Arm();
    Step(timeout);
    EXPECT_EQ(1, fired.load());
    dog.Arm();
    Step(timeout);
    EXPECT_EQ(2, fired.load());
    dog.Arm();
    dog.Stop();
    dog.Arm(); // after Stop: ignored, and no thread waits any more
    EXPECT_FALSE(clock.WaitForSleepers(1, milliseconds(100)));
    clock.Advance(timeout * 2);
    EXPECT_EQ(2, fired.load());
}

// Tests that received bytes keep an armed watchdog quiet however long the answer takes, that it fires
// one timeout after the last of them, and that bytes do not arm a disarmed one.
TEST_F(Watchdog, BytesPostponeTheSilence) {
    dog.Touch(); // never armed: nothing is awaited
    dog.Arm();
    dog.Disarm();
    dog.Touch();
    Step(timeout * 2);
    EXPECT_EQ(0, fired.load());
    dog.Arm();
    for (int i = 0; i < 15; ++i) { // a slow answer, five timeouts long
        Step(timeout / 3);
        dog.Touch();
    }
    const TimerClock::TimePoint lastByte = clock.Now();
    EXPECT_EQ(0, fired.load());
    Step(timeout - milliseconds(1));
    EXPECT_EQ(0, fired.load());
    Step(milliseconds(1));
    ASSERT_EQ(1, fired.load());
    EXPECT_EQ(FiredAt(), lastByte + timeout);
}

// Tests that a service is given 30 seconds of silence unless a test shortens it.
TEST(WatchdogTimeout, IsThirtySeconds) {
    EXPECT_EQ(AnswerWatchdog::Timeout(), std::chrono::seconds(30));
}

} // namespace
