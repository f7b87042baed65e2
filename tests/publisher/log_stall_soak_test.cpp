// A log reader stopped for half a minute while installs go on: a soak test of real time.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/log_stall.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace publisher::testing;
using namespace std::chrono_literals;

// Tests that while the process reading the log (cat into a file) is stopped with SIGSTOP for 30 s,
// installs keep completing; once it runs again the log is written on, with the count of lines dropped
// if the queue ran over, up to the last line of a clean stop.
TEST(LogStallSoakTest, InstallsCompleteWhileTheLogReaderIsStopped) {
    TempFolder package, work;
    WriteStandardPackage(package.path());
    LogPipe pipe;
    ASSERT_TRUE(pipe.Valid());
    const auto logPath = work.path() / "stderr.log";
    const int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe.ReadEnd(), 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    pid_t reader = -1;
    char cat[] = "cat";
    char* argv[] = {cat, nullptr};
    ASSERT_EQ(posix_spawnp(&reader, "cat", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out);

    size_t installs = 0;
    {
        PublisherProcess p(
            {"--package", package.path().string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0"},
            false, pipe.WriteEnd());
        pipe.CloseWriteEnd();
        pipe.CloseReadEnd(); // cat holds it
        ASSERT_TRUE(p.started());
        ::kill(reader, SIGSTOP);
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < until) {
            ASSERT_TRUE(InstallWithin(p, p.checkPort(), work.path() / ("i" + std::to_string(installs)), 20s))
                << "install " << installs;
            ++installs;
            std::this_thread::sleep_for(500ms);
        }
        ::kill(reader, SIGCONT);
        EXPECT_EQ(p.StopWithin(15s), 0);
    }
    int status = 0;
    ::waitpid(reader, &status, 0);
    const std::string text = TextOf(logPath);
    EXPECT_GE(installs, 20u);
    EXPECT_NE(text.find(" stopped\n"), std::string::npos) << text.size() << " bytes of log";
    std::printf("[ figure ] %zu installs during a 30 s SIGSTOP of the log reader; %zu bytes of log\n",
                installs, text.size());
}
