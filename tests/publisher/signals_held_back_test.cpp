// Tests that the service's signals reach only the thread that waits for them: threads started while
// they are held back (the event log's writer among them) inherit them blocked, and the creator gets its
// own mask back.
#include "publisher/ops/event_log.h"
#include "publisher/ops/signals_held_back.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace publisher;

namespace {

bool Blocked(int signal) {
    sigset_t now;
    pthread_sigmask(SIG_BLOCK, nullptr, &now);
    return sigismember(&now, signal) == 1;
}

// The blocked-signal mask of thread `tid` of this process, from /proc.
unsigned long long BlockedMaskOf(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("SigBlk:", 0) == 0)
            return std::stoull(line.substr(7), nullptr, 16);
    return 0;
}

} // namespace

TEST(SignalsHeldBackTest, ThreadsStartedWithinTakeNoServiceSignal) {
    ASSERT_FALSE(Blocked(SIGTERM));
    bool inThread[4] = {};
    {
        const SignalsHeldBack held;
        std::thread([&] {
            int i = 0;
            for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
                inThread[i++] = Blocked(signal);
        }).join();
    }
    for (bool blocked : inThread)
        EXPECT_TRUE(blocked);
    EXPECT_FALSE(Blocked(SIGTERM)); // the creator's mask is back
    EXPECT_FALSE(Blocked(SIGHUP));

    // The log's writer thread: every thread but this one blocks SIGTERM and SIGHUP.
    EventLog log;
    const std::string self = std::to_string(gettid());
    const unsigned long long wanted = (1ull << (SIGTERM - 1)) | (1ull << (SIGHUP - 1));
    int others = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string tid = task.path().filename();
        if (tid == self)
            continue;
        ++others;
        EXPECT_EQ(BlockedMaskOf(tid) & wanted, wanted) << "thread " << tid;
    }
    EXPECT_GE(others, 1);
}
