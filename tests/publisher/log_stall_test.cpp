// Tests of the publisher with its log on standard error into a pipe whose reader stalls: serving goes
// on and SIGTERM is acted on. Run as processes, the way a service manager or a terminal holds them.
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/log_stall.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

using namespace publisher::testing;
using namespace std::chrono_literals;

// Tests that with the log pipe full an installer is still served, and SIGTERM still ends the publisher
// with status 0 within seconds (the lines it cannot write are given up).
TEST(LogStallTest, SigtermIsHonouredWithTheLogPipeFull) {
    TempFolder package, work;
    WriteStandardPackage(package.path());
    LogPipe pipe;
    ASSERT_TRUE(pipe.Valid());
    PublisherProcess p(
        {"--package", package.path().string(), "--check", "127.0.0.1:0", "--download", "127.0.0.1:0"}, false,
        pipe.WriteEnd());
    pipe.CloseWriteEnd();
    ASSERT_TRUE(p.started());
    ASSERT_TRUE(FillLogPipe(pipe, p.checkPort(), 20s)) << pipe.Buffered() << " bytes buffered";
    EXPECT_TRUE(InstallWithin(p, p.checkPort(), work.path() / "during", 30s));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(p.StopWithin(15s), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    std::printf("[ figure ] SIGTERM to exit with the log pipe full: %.3f s\n", seconds);
}
